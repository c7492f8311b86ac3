"""Publishes that do not end with every photo out: one the storage refuses (marked, then sent again
alone to the same project), and one cancelled from a second tab that was watching it."""

from uihost import By, PageTest, main, png


class UnfinishedPublishes(PageTest):
    def test_a_refused_photo_goes_again_alone_and_a_second_tab_cancels_the_next_publish(self):
        names = [f"frame-{index}.png" for index in range(1, 5)]
        self.open_page([self.photo(name, png(120, 90, index)) for index, name in enumerate(names)])
        for identifier, title in (("workspace-source-list-item", "Demo Photographer"),
                                  ("workspace-list-item", "Personal"), ("folder-list-item", "Portraits 📷"),
                                  ("project-list-item", "Studio Sessions 📷")):
            self.choose(identifier, title)
        self.fault("storage", "respond", status=500, times=1)
        self.driver.find_element(By.ID, "publish").click()
        self.wait(lambda d: d.find_element(By.ID, "publish-again").is_displayed(), 30, "the partial outcome")

        self.assertEqual(self.text("#result-message"),
                         "Published 3 of 4 files. Not published: frame-1.png (the storage refused the upload: 500).")
        cards = self.cards()
        self.assertIn("failed", cards["frame-1.png"])
        self.assertEqual([name for name in names[1:] if "published" in cards[name]], names[1:])
        failed = self.driver.find_element(By.CSS_SELECTOR, '.photo[data-name="frame-1.png"] .status')
        self.assertIn("the storage refused the upload: 500", failed.text)
        self.shot("07-partial")

        self.driver.find_element(By.ID, "publish-again").click()
        self.wait(lambda d: self.text("#result-message") == "Publishing completed!", 30, "the second publish")
        self.assertIn("published", self.cards()["frame-1.png"])
        # Only the refused photo went again, to the same project.
        project = lambda: [file["name"] for file in self.project_named("Studio Sessions 📷")["files"]]
        self.assertEqual(sorted(project()), names)

        self.fault("storage", "delay", delayMs=1500, times=4)
        self.driver.find_element(By.ID, "publish").click()
        self.wait(lambda d: d.find_element(By.ID, "cancel").is_displayed(), message="the publish to start")
        first = self.driver.current_window_handle
        # The cookie is the browser's: a second tab opens the page without the link's key.
        self.driver.switch_to.new_window("tab")
        self.driver.get(self.url.split("/#")[0] + "/")
        self.wait(lambda d: d.find_element(By.ID, "cancel").is_displayed(), message="the second tab to see it")
        self.assertFalse(self.driver.find_element(By.ID, "publish").is_enabled())
        self.assertIn("of 4", self.text("#progress-text"))
        self.shot("08-second-tab")
        self.driver.find_element(By.ID, "cancel").click()

        self.driver.switch_to.window(first)
        self.wait(lambda d: d.find_element(By.ID, "result").get_attribute("data-kind") == "cancelled", 30,
                  "the cancelled outcome")
        self.assertTrue(self.driver.find_element(By.ID, "publish").is_enabled())
        stored = len(project()) - len(names)
        self.assertLess(stored, len(names))
        # The photos it went through are marked; the others are not.
        marked = [name for name, classes in self.cards().items() if {"published", "sent"} & set(classes)]
        self.assertEqual(marked, names[:stored])
        self.shot("08-cancelled")


if __name__ == "__main__":
    main()
