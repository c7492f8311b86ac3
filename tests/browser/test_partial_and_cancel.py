"""Publishes that do not end with every photo out: one the storage refuses (marked, then sent again
alone to the same project), and one cancelled from a second tab that was watching it."""

from uihost import By, PageTest, main, png

PORTRAITS = ("Demo Photographer", "Personal", "Portraits 📷", "Studio Sessions 📷")


class UnfinishedPublishes(PageTest):
    def choose_existing_project(self):
        for identifier, title in zip(("workspace-source-list-item", "workspace-list-item", "folder-list-item",
                                      "project-list-item"), PORTRAITS):
            self.choose(identifier, title)

    def test_a_photo_the_storage_refuses_is_marked_and_published_again_alone(self):
        names = ["first.png", "second.png", "third.png"]
        self.open_page([self.photo(name, png(120, 90, seed)) for seed, name in enumerate(names)])
        self.choose_existing_project()
        self.service.fault("storage", "respond", status=500, times=1)
        self.driver.find_element(By.ID, "publish").click()
        self.wait(lambda d: d.find_element(By.ID, "publish-again").is_displayed(), 30, "the partial outcome")

        self.assertEqual(self.text("#result-message"),
                         "Published 2 of 3 files. Not published: first.png (the storage refused the upload: 500).")
        cards = self.cards()
        self.assertIn("failed", cards["first.png"])
        self.assertEqual([name for name in names[1:] if "published" in cards[name]], names[1:])
        failed = self.driver.find_element(By.CSS_SELECTOR, '.photo[data-name="first.png"] .status')
        self.assertIn("the storage refused the upload: 500", failed.text)
        project = self.service.project_named("Studio Sessions 📷")["id"]
        self.shot("07-partial")

        self.service.clear_requests()
        self.driver.find_element(By.ID, "publish-again").click()
        self.wait(lambda d: self.text("#result-message") == "Publishing completed!", 30, "the second publish")
        self.assertEqual(self.service.signed_files(), [("first.png", project)])
        self.assertIn("published", self.cards()["first.png"])

    def test_a_second_tab_sees_the_publish_in_flight_and_cancels_it(self):
        names = [f"frame-{index}.png" for index in range(1, 5)]
        self.open_page([self.photo(name, png(120, 90, index)) for index, name in enumerate(names)])
        self.choose_existing_project()
        self.service.fault("storage", "delay", delayMs=1500, times=4)
        self.driver.find_element(By.ID, "publish").click()
        self.wait(lambda d: d.find_element(By.ID, "cancel").is_displayed(), message="the publish to start")
        first = self.driver.current_window_handle

        # The cookie is the browser's: a second tab opens the page without the link's key.
        self.driver.switch_to.new_window("tab")
        self.driver.get(self.host.origin + "/")
        self.wait(lambda d: d.find_element(By.ID, "cancel").is_displayed(), message="the second tab to see it")
        self.assertFalse(self.driver.find_element(By.ID, "publish").is_enabled())
        self.assertIn("of 4", self.text("#progress-text"))
        self.shot("08-second-tab")
        self.driver.find_element(By.ID, "cancel").click()

        self.driver.switch_to.window(first)
        self.wait(lambda d: d.find_element(By.ID, "result").get_attribute("data-kind") == "cancelled", 30,
                  "the cancelled outcome")
        self.assertTrue(self.driver.find_element(By.ID, "publish").is_enabled())
        stored = self.service.project_named("Studio Sessions 📷")["files"]
        self.assertLess(len(stored), len(names))
        # The photos it went through are marked; the others are not.
        marked = [name for name, classes in self.cards().items() if {"published", "sent"} & set(classes)]
        self.assertEqual(marked, names[:len(stored)])
        self.shot("08-cancelled")


if __name__ == "__main__":
    main()
