"""A person's way through galvoria-host ui: logging in (refused in the words of the application's
string table, then accepted), photos from the command line, the file chooser and a drop, the chain
of lists down to a new folder and project, a publish watched to its library link, and logging out."""

import json

from uihost import DEMO_EMAIL, DEMO_PASSWORD, By, Keys, PageTest, main, png

DROP_FILE = """
const [name, bytes] = arguments;
const files = new DataTransfer();
files.items.add(new File([new Uint8Array(bytes)], name, {type: 'image/png'}));
document.getElementById('drop-zone').dispatchEvent(new DragEvent('drop', {dataTransfer: files, bubbles: true, cancelable: true}));
"""


class APersonsWay(PageTest):
    def test_log_in_add_photos_publish_them_into_a_new_folder_and_project_and_log_out(self):
        strings = self.photo("strings.json", json.dumps(
            {"Login Failed": "Connexion refusée", "Please try again.": "Veuillez réessayer."}).encode())
        given = [self.photo("Harbour.png", png(240, 160, 3)), self.photo("scan.tiff", b"II*\0" + bytes(5000))]
        self.open_page(given, logged_in=False, extra=("--strings", strings))
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
        self.assertEqual(self.text("#account-error"), "Connexion refusée Veuillez réessayer.")
        self.shot("01-login-refused")
        self.type_into("password-item", DEMO_PASSWORD)
        self.item("login-item").click()
        self.wait(lambda d: "You are logged in as" in d.find_element(By.ID, "account").text, message="the login")
        self.settled()
        self.assertEqual(self.text('[data-item="logged-in-item"]'), f"You are logged in as {DEMO_EMAIL}")
        self.assertTrue(self.driver.find_element(By.ID, "account-error").get_attribute("hidden"))
        self.shot("02-logged-in")

        chosen = [self.photo("Evening.png", png(160, 120, 7)), self.photo("Café terrace.png", png(200, 200, 9))]
        self.driver.find_element(By.ID, "photo-input").send_keys("\n".join(chosen))
        self.wait(lambda d: len(self.cards()) == 4, message="the chosen photos")
        self.driver.execute_script(DROP_FILE, "Dropped.png", list(png(64, 48, 5)))
        self.wait(lambda d: len(self.cards()) == 5, message="the dropped photo")
        # Thumbnails the browser decoded for the image types; name and size for the others.
        self.wait(lambda d: d.execute_script(
            "return [...document.querySelectorAll('#photos img')].every(i => i.complete && i.naturalWidth > 0)"))
        with_image = {card.get_attribute("data-name") for card in
                      self.driver.find_elements(By.CSS_SELECTOR, "#photos .photo") if card.find_elements(By.TAG_NAME, "img")}
        photos = ["Harbour.png", "Evening.png", "Café terrace.png", "Dropped.png"]
        self.assertEqual(with_image, set(photos))
        tiff = self.driver.find_element(By.CSS_SELECTOR, '.photo[data-name="scan.tiff"]')
        self.assertIn("5.0 KB", tiff.text)
        tiff.find_element(By.CSS_SELECTOR, "button.remove").click()
        self.wait(lambda d: "scan.tiff" not in self.cards(), message="the removal")
        self.shot("03-photos")

        # The chain: each choice redraws from what the plugin returns.
        self.choose("workspace-source-list-item", "Demo Photographer")
        self.choose("workspace-list-item", "Personal")
        self.assertIn("──────", self.text('[data-item="folder-list-item"]'))
        self.choose("folder-list-item", "+ Create New Folder")
        # Publishing without a folder name shows the plugin's validation text; nothing is sent.
        self.driver.find_element(By.ID, "publish").click()
        self.wait(lambda d: d.find_element(By.ID, "options-error").text, message="the validation text")
        self.assertEqual(self.text("#options-error"),
                         "Invalid value for Folder The value supplied for Folder is not valid for performing "
                         "Publish to galvoria.")
        self.type_into("new-folder-item", "Sea and sand")
        self.type_into("new-project-item", "Seen in the window", then="")
        self.shot("04-options")

        self.fault("storage", "delay", delayMs=600, times=4)
        self.driver.find_element(By.ID, "publish").click()
        self.wait(lambda d: d.find_element(By.ID, "cancel").is_displayed(), message="the publish to start")
        self.wait(lambda d: "File 2 of 4" in self.text("#progress-text"), message="the second file")
        bar = self.driver.find_element(By.ID, "progress")
        self.assertLess(0, float(bar.get_attribute("value")))
        self.assertLess(float(bar.get_attribute("value")), float(bar.get_attribute("max")))
        self.wait(lambda d: "sent" in self.cards()["Harbour.png"], message="the first photo marked")
        self.shot("05-publishing")
        self.wait(lambda d: self.text("#result-message") == "Publishing completed!", 30, "the end of the publish")

        self.assertEqual(bar.get_attribute("value"), bar.get_attribute("max"))
        project = self.project_named("Seen in the window")
        self.assertEqual(sorted(file["name"] for file in project["files"]), sorted(photos))
        link = self.driver.find_element(By.ID, "library-link")
        self.assertEqual(link.get_attribute("href"), f"{self.service}/project/{project['id']}/library")
        self.assertEqual(link.get_attribute("target"), "_blank")
        self.assertEqual({classes[-1] for classes in self.cards().values()}, {"published"})
        self.assertFalse(self.driver.find_element(By.ID, "publish-again").is_displayed())
        self.shot("06-published")

        # A phone-sized window shows the same without sideways scrolling; a dark system, dark colours.
        background = "return getComputedStyle(document.body).backgroundColor"
        light = self.driver.execute_script(background)
        self.driver.set_window_size(360, 900)
        self.shot("06-published-360px")
        self.assertTrue(self.driver.execute_script("return document.documentElement.scrollWidth <= innerWidth"))
        self.driver.set_window_size(1280, 900)
        dark = {"features": [{"name": "prefers-color-scheme", "value": "dark"}]}
        self.driver.execute_cdp_cmd("Emulation.setEmulatedMedia", dark)
        self.assertNotEqual(self.driver.execute_script(background), light)
        self.shot("06-published-dark")
        self.driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {"features": []})

        self.item("logout-item").click()
        self.wait(lambda d: d.find_elements(By.CSS_SELECTOR, '[data-item="username-item"]'), message="the logout")
        self.settled()
        self.assertIn("log in", self.text("#options").lower())
        self.shot("09-logged-out")


if __name__ == "__main__":
    main()
