#!/usr/bin/env bash
# Publishing files the way a person with curl and a shell loop would: for each file three curl
# calls (sign with the service, post the signed form to the storage endpoint, complete), the JSON
# taken apart by bash itself (no further process per file).
#
#   curl-loop.sh MANIFEST ORIGIN TOKEN PROJECT [CA]
#
# MANIFEST has one line per file: its size in bytes, a blank, its path. CA: the certificate of the
# authority to trust for an https origin (curl --cacert). Prints the number of files that failed;
# exits 1 when any did.
set -uo pipefail

manifest=$1 origin=$2 token=$3 project=$4
tls=()
[[ -n ${5:-} ]] && tls=(--cacert "$5")
auth="Authorization: Bearer $token"
failed=0

while read -r size path; do
    name=${path##*/}
    sign=$(curl -sS "${tls[@]}" -X POST "$origin/api/upload/sign/lightroom" \
        -H "Content-Type: application/json" -H "Accept: application/json" -H "$auth" \
        --data-binary "{\"fileName\":\"$name\",\"originalFileName\":\"$name\",\"projectId\":\"$project\",\"fileSize\":\"$size\"}")
    if [[ ! $sign =~ \"postEndpoint\":\"([^\"]*)\" ]]; then
        failed=$((failed + 1))
        continue
    fi
    endpoint=${BASH_REMATCH[1]}
    if [[ ! $sign =~ \"signature\":(\{[^\}]*\}) ]]; then
        failed=$((failed + 1))
        continue
    fi
    signature=${BASH_REMATCH[1]}

    fields=()
    type=
    rest=$signature
    while [[ $rest =~ \"([^\"]+)\":\"([^\"]*)\"(.*) ]]; do
        fields+=(--form-string "${BASH_REMATCH[1]}=${BASH_REMATCH[2]}")
        [[ ${BASH_REMATCH[1]} == Content-Type ]] && type=${BASH_REMATCH[2]}
        rest=${BASH_REMATCH[3]}
    done

    stored=$(curl -sS "${tls[@]}" -o /dev/null -w '%{http_code}' "${fields[@]}" -F "file=@$path${type:+;type=$type}" "$endpoint")
    if [[ $stored != 2* ]]; then
        failed=$((failed + 1))
        continue
    fi
    completed=$(curl -sS "${tls[@]}" -o /dev/null -w '%{http_code}' -X POST "$origin/api/upload/complete" \
        -H "Content-Type: application/json" -H "Accept: application/json" -H "$auth" \
        --data-binary "{\"signature\":$signature}")
    [[ $completed == 2* ]] || failed=$((failed + 1))
done <"$manifest"

echo "$failed"
[[ $failed -eq 0 ]]
