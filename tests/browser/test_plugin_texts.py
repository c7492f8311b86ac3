"""The page draws whatever the plugin returns: texts the application's string table translates and
a folder that only the service knows of show up with no change to the page."""

import json
import os
import urllib.request

from uihost import DEMO_EMAIL, By, Keys, PageTest, main, log_in_directly


class WhatThePluginSays(PageTest):
    def test_translated_error_texts_and_a_new_folder_on_the_service_show_in_the_page(self):
        table = os.path.join(self.folder, "strings.json")
        with open(table, "w") as strings:
            json.dump({"Login Failed": "Connexion refusée", "Please try again.": "Veuillez réessayer."}, strings)
        self.open_page(logged_in=False, extra=("--strings", table))
        self.type_into("username-item", DEMO_EMAIL)
        self.type_into("password-item", "wrong", then=Keys.ENTER)
        self.wait(lambda d: d.find_element(By.ID, "account-error").text, message="the refusal")
        self.assertEqual(self.text("#account-error"), "Connexion refusée Veuillez réessayer.")
        self.shot("10-translated-refusal")

        # A folder made on the service behind the plugin's back becomes an option of the list.
        log_in_directly(self.service, self.prefs)
        with open(self.prefs) as store:
            token = json.load(store)["api-token"]
        made = urllib.request.Request(f"{self.service.origin}/api/workspaces/ws-4f1c2a/folders", method="POST",
                                      data=json.dumps({"name": "Atelier du soir ✨"}).encode(),
                                      headers={"Authorization": f"Bearer {token}", "Content-Type": "application/json",
                                               "Accept": "application/json"})
        urllib.request.urlopen(made, timeout=10).close()
        self.driver.refresh()
        self.wait(lambda d: d.find_element(By.TAG_NAME, "body").get_attribute("data-ready") == "true")
        self.settled()
        self.choose("workspace-source-list-item", "Demo Photographer")
        self.choose("workspace-list-item", "Personal")
        self.assertIn("Atelier du soir ✨", self.options_of("folder-list-item"))
        self.assertIn("──────", self.options_of("folder-list-item"))


if __name__ == "__main__":
    main()
