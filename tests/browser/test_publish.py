"""A person's way through galvoria-host ui: logging in (refused, then accepted), the chain of lists
down to a new folder and project, photos added with the file chooser, a publish watched to its
library link, and logging out."""

import json
import os

from uihost import DEMO_EMAIL, DEMO_PASSWORD, JPEG, WEBP, By, Keys, PageTest, main, png

RECORD_PROGRESS = """
window.progressSeen = [];
const bar = document.getElementById('progress');
const text = document.getElementById('progress-text');
new MutationObserver(() => window.progressSeen.push([bar.value, bar.max, text.textContent]))
  .observe(document.getElementById('progress-area'), {attributes: true, childList: true, subtree: true, characterData: true});
"""

DROP_FILE = """
const [name, bytes] = arguments;
const files = new DataTransfer();
files.items.add(new File([new Uint8Array(bytes)], name, {type: 'image/png'}));
document.getElementById('drop-zone').dispatchEvent(new DragEvent('drop', {dataTransfer: files, bubbles: true, cancelable: true}));
"""


class AccountPanel(PageTest):
    def test_a_refused_login_shows_the_plugins_text_then_the_right_password_logs_in_and_out(self):
        self.open_page(logged_in=False)
        # Every field has its label; the secure one is a password input.
        for identifier, caption, kind in (("username-item", "Username", "text"),
                                          ("password-item", "Password", "password")):
            field = self.item(identifier)
            self.assertEqual(field.get_attribute("type"), kind)
            label = self.driver.find_element(By.CSS_SELECTOR, f'label[for="{field.get_attribute("id")}"]')
            self.assertEqual(label.text, caption)
        self.assertIn("log in", self.text("#options").lower())

        # Keyboard only: the fields, then Enter presses the panel's button.
        self.type_into("username-item", DEMO_EMAIL)
        self.type_into("password-item", "not-the-password", then=Keys.ENTER)
        self.wait(lambda d: not d.find_element(By.ID, "account-error").get_attribute("hidden"), message="the refusal")
        self.assertEqual(self.text("#account-error"), "Login Failed Please try again.")
        self.shot("01-login-refused")

        self.type_into("password-item", DEMO_PASSWORD)
        self.item("login-item").click()
        self.wait(lambda d: "You are logged in as" in d.find_element(By.ID, "account").text, message="the login")
        self.settled()
        self.assertEqual(self.text('[data-item="logged-in-item"]'), f"You are logged in as {DEMO_EMAIL}")
        self.assertTrue(self.driver.find_element(By.ID, "account-error").get_attribute("hidden"))
        self.assertIn("workspace-list-item", self.items("options"))
        with open(self.prefs) as store:
            self.assertEqual(json.load(store)["password-item"], "")
        self.shot("02-logged-in")

        self.item("logout-item").click()
        self.wait(lambda d: d.find_elements(By.CSS_SELECTOR, '[data-item="username-item"]'), message="the logout")
        self.settled()
        self.assertNotIn("workspace-list-item", self.items("options"))
        with open(self.prefs) as store:
            self.assertNotIn("api-token", {k for k, v in json.load(store).items() if v})
        self.shot("09-logged-out")


class Publishing(PageTest):
    def test_photos_from_the_command_line_and_the_chooser_published_into_a_new_folder_and_project(self):
        given = [self.photo("Harbour.jpg", JPEG), self.photo("Dunes.png", png(240, 160, 3)),
                 self.photo("scan.tiff", b"II*\0" + bytes(5000))]
        self.open_page(given)
        self.wait(lambda d: len(self.cards()) == 3, message="the command line's photos")

        chosen = [self.photo("Evening.webp", WEBP), self.photo("Café terrace.png", png(200, 200, 9))]
        self.driver.find_element(By.ID, "photo-input").send_keys("\n".join(chosen))
        self.wait(lambda d: len(self.cards()) == 5, message="the chosen photos")
        # A file dropped on the page is added as well.
        self.driver.execute_script(DROP_FILE, "Dropped.png", list(png(64, 48, 5)))
        self.wait(lambda d: len(self.cards()) == 6, message="the dropped photo")
        # Thumbnails the browser decoded for the image types; name and size for the others.
        self.wait(lambda d: d.execute_script(
            "return [...document.querySelectorAll('#photos img')].every(i => i.complete && i.naturalWidth > 0)"))
        with_image = {card.get_attribute("data-name") for card in
                      self.driver.find_elements(By.CSS_SELECTOR, "#photos .photo") if card.find_elements(By.TAG_NAME, "img")}
        self.assertEqual(with_image, {"Harbour.jpg", "Dunes.png", "Evening.webp", "Café terrace.png", "Dropped.png"})
        tiff = self.driver.find_element(By.CSS_SELECTOR, '.photo[data-name="scan.tiff"]')
        self.assertIn("5.0 KB", tiff.text)
        tiff.find_element(By.CSS_SELECTOR, "button.remove").click()
        self.wait(lambda d: "scan.tiff" not in self.cards(), message="the removal")
        self.assertTrue(os.path.exists(given[2]), "a command-line file is never deleted")
        self.shot("03-photos")

        # The chain: each choice redraws from what the plugin returns.
        self.choose("workspace-source-list-item", "Demo Photographer")
        self.choose("workspace-list-item", "Personal")
        self.assertNotIn("new-folder-item", self.items("options"))
        self.choose("folder-list-item", "+ Create New Folder")
        self.assertIn("new-folder-item", self.items("options"))
        self.assertNotIn("project-list-item", self.items("options"))
        # Publishing without a folder name shows the plugin's validation text; nothing is sent.
        self.driver.find_element(By.ID, "publish").click()
        self.wait(lambda d: d.find_element(By.ID, "options-error").text, message="the validation text")
        self.assertEqual(self.text("#options-error"),
                         "Invalid value for Folder The value supplied for Folder is not valid for performing "
                         "Publish to galvoria.")
        self.type_into("new-folder-item", "Sea and sand")
        self.type_into("new-project-item", "Seen in the window", then="")
        self.shot("04-options")

        self.driver.execute_script(RECORD_PROGRESS)
        self.service.fault("storage", "delay", delayMs=600, times=5)
        self.driver.find_element(By.ID, "publish").click()
        self.wait(lambda d: d.find_element(By.ID, "cancel").is_displayed(), message="the publish to start")
        self.wait(lambda d: "File 2 of 5" in self.text("#progress-text"), message="the second file")
        self.wait(lambda d: "sent" in self.cards()["Harbour.jpg"], message="the first photo marked")
        self.shot("05-publishing")
        self.wait(lambda d: self.text("#result-message") == "Publishing completed!", 30, "the end of the publish")

        seen = self.driver.execute_script("return window.progressSeen")
        done = sorted({value for value, _, _ in seen})
        self.assertGreaterEqual(len(done), 3, f"the bar moved through {done}")
        self.assertEqual(seen[-1][0], seen[-1][1])
        self.assertTrue(any("File 1 of 5" in text for _, _, text in seen))
        project = self.service.project_named("Seen in the window")
        self.assertIsNotNone(project)
        self.assertEqual(sorted(file["name"] for file in project["files"]),
                         sorted(["Harbour.jpg", "Dunes.png", "Evening.webp", "Café terrace.png", "Dropped.png"]))
        link = self.driver.find_element(By.ID, "library-link")
        self.assertEqual(link.get_attribute("href"), f"{self.service.origin}/project/{project['id']}/library")
        self.assertEqual(link.get_attribute("target"), "_blank")
        self.assertEqual({classes[-1] for classes in self.cards().values()}, {"published"})
        self.assertFalse(self.driver.find_element(By.ID, "publish-again").is_displayed())
        self.shot("06-published")

        # A phone-sized window shows the same without sideways scrolling; a dark system, dark colours.
        background = "return getComputedStyle(document.body).backgroundColor"
        light = self.driver.execute_script(background)
        self.shot("06-published-360px", width=360)
        self.assertLessEqual(self.driver.execute_script("return document.documentElement.scrollWidth"),
                             self.driver.execute_script("return window.innerWidth"))
        self.driver.execute_cdp_cmd("Emulation.setEmulatedMedia",
                                    {"features": [{"name": "prefers-color-scheme", "value": "dark"}]})
        self.assertNotEqual(self.driver.execute_script(background), light)
        self.shot("06-published-dark", width=1280, dark=True)


if __name__ == "__main__":
    main()
