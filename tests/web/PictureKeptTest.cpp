// A picture Chromium has handed over and that is written whole is the
// picture, however the browser ends afterwards: Ctrl-C kills the browser's
// group at any moment, also between the write and the browser's own exit.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/web/Chromium.h"
#include "tests/support/TemporaryDataRoot.h"
#include "tests/web/WebTestSupport.h"

namespace {

// The real browser behind a launcher that is killed once the browser has
// closed: what the picture's caller sees of a Ctrl-C just after the write.
TEST(PictureKeptTest, APictureWrittenWholeStaysWhenTheBrowserIsKilledAfterIt) {
    const std::filesystem::path chromium = web::Chromium::binary();
    ASSERT_FALSE(chromium.empty()) << "no Chromium";
    TemporaryDataRoot folder("picture-kept");
    const std::filesystem::path launcher = folder.path() / "chromium";
    writeFile(launcher, "#!/bin/sh\n\"" + chromium.string() + "\" \"$@\"\nkill -KILL $$\n");
    std::filesystem::permissions(launcher, std::filesystem::perms::owner_all);
    const std::filesystem::path page = folder.path() / "page.html", png = folder.path() / "page.png";
    writeFile(page, "<!DOCTYPE html><html><body style=\"margin:0;background:#0a0\"></body></html>");

    ::setenv("CALVARO_CHROMIUM", launcher.c_str(), 1);
    std::string error;
    const bool taken = web::Chromium::screenshot(web::Chromium::fileUrl(page), png, 100, 60, 1, error);
    ::unsetenv("CALVARO_CHROMIUM");
    EXPECT_TRUE(taken) << error;
    ASSERT_TRUE(std::filesystem::exists(png)) << "the whole picture was removed: " << error;
    EXPECT_EQ(pngSize(png), std::make_pair(100u, 60u));
    const auto pixel = pngPixel(png, 50, 30);
    ASSERT_TRUE(pixel.has_value()) << "the picture does not read";
    EXPECT_EQ((*pixel)[1], 0xaa);
}

}  // namespace
