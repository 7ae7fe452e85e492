#include "ImageSwitcher.h"
#include "platform/Bundle.h"
#include "platform/RunLoop.h"
#include "support/log_capture.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

#include <QColor>
#include <QGraphicsOpacityEffect>
#include <QImage>

#include <filesystem>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using platform::RunLoop;
namespace fs = std::filesystem;

namespace {

// A bundle whose configuration lists the given pictures; "red", "green" and "blue" exist,
// "broken" is a text file under a picture's name, anything else is missing.
class SlideShowTest : public testing::Test {
protected:
    void TearDown() override { platform::Bundle::setMainBundlePath({}); }

    void useBundleListing(const std::vector<std::string>& names) {
        const fs::path images = bundle.path() / "Configs" / "images";
        fs::create_directories(images);
        for (const char* color : {"red", "green", "blue"}) {
            QImage image(8, 8, QImage::Format_RGB32);
            image.fill(QColor(color));
            image.save(QString::fromStdString((images / (std::string(color) + ".png")).string()));
        }
        testing_support::writeFile(images / "broken.png", "not a picture");
        std::string list;
        for (const auto& name : names) {
            list += (list.empty() ? "\"images/" : ", \"images/") + name + ".png\"";
        }
        testing_support::writeFile(bundle.path() / "Configs" / "Configs.json", "{\"images\": [" + list + "]}");
        platform::Bundle::setMainBundlePath(bundle.path());
    }

    // The colour the view shows, or "none".
    static std::string shown(QLabel& view) {
        const QPixmap pixmap = view.pixmap();
        return pixmap.isNull() ? "none" : pixmap.toImage().pixelColor(0, 0).name().toStdString();
    }

    testing_support::TempDir bundle;
    testing_support::LogCapture log;
    QLabel lower;
    QLabel upper;
};

TEST_F(SlideShowTest, PicturesThatDoNotLoadAreLeftOutAndFewerThanTwoScheduleNothing) {
    for (const auto& [listing, picture] : {std::pair<std::vector<std::string>, const char*>{{"red", "missing", "broken"}, "#ff0000"},
                                           {{"broken"}, "none"}}) {
        useBundleListing(listing);
        ImageSwitcher switcher({&lower, &upper});
        switcher.loadImagesFromFile("Configs/Configs.json");
        switcher.startAnimating();
        EXPECT_EQ(shown(lower), picture) << "one picture, else a plain background";
        EXPECT_FALSE(switcher.isChangeScheduled());
    }
    const auto errors = log.linesStartingWith("ERROR Cannot load the picture ");
    ASSERT_EQ(errors.size(), 3u);
    EXPECT_TRUE(errors[0].ends_with("images/missing.png; it is left out of the slide show")) << errors[0];
    EXPECT_TRUE(errors[1].ends_with("images/broken.png; it is left out of the slide show")) << errors[1];
}

TEST_F(SlideShowTest, EachChangeFadesTheNextPictureInAndWrapsAround) {
    useBundleListing({"red", "green", "blue"});
    auto* effect = new QGraphicsOpacityEffect(&upper);
    effect->setOpacity(0.0);
    upper.setGraphicsEffect(effect);
    ImageSwitcher switcher({&lower, &upper});
    switcher.setSwitchDuration(0.15);
    switcher.setFadeDuration(0.05);
    switcher.loadImagesFromFile("Configs/Configs.json");
    switcher.startAnimating();
    EXPECT_EQ(shown(lower), "#ff0000");
    EXPECT_EQ(switcher.currentIndex(), -1);
    EXPECT_TRUE(switcher.isChangeScheduled());

    std::vector<std::string> seen;
    for (std::int64_t index : {0, 1, 2, 0}) {
        ASSERT_TRUE(RunLoop::runUntil([&] { return switcher.currentIndex() == index; }, 2s));
        seen.push_back(shown(lower) + " under " + shown(upper));
        // After the fade the lower view holds the new picture and the upper one is clear again.
        ASSERT_TRUE(RunLoop::runUntil([&] { return shown(lower) == shown(upper); }, 2s));
        EXPECT_EQ(effect->opacity(), 0.0);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"#ff0000 under #008000", "#008000 under #0000ff",
                                              "#0000ff under #ff0000", "#ff0000 under #008000"}));
    switcher.stopAnimating();
    EXPECT_FALSE(switcher.isChangeScheduled());
}

}  // namespace
