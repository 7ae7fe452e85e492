#include "ImageSwitcher.h"

#include "Logger/Logger.h"
#include "platform/Bundle.h"
#include "platform/Json.h"
#include "platform/RunLoop.h"

#include <QGraphicsOpacityEffect>

#include <chrono>
#include <filesystem>

namespace {

std::chrono::milliseconds toMilliseconds(double seconds) {
    return std::chrono::milliseconds(static_cast<std::int64_t>(seconds * 1000.0));
}

// The view's opacity, kept in a graphics effect; a view without one is fully opaque.
QGraphicsOpacityEffect* opacityEffect(QLabel* view) {
    if (auto* effect = qobject_cast<QGraphicsOpacityEffect*>(view->graphicsEffect())) {
        return effect;
    }
    auto* effect = new QGraphicsOpacityEffect(view);
    effect->setOpacity(1.0);
    view->setGraphicsEffect(effect);
    return effect;
}

}  // namespace

ImageSwitcher::ImageSwitcher(std::array<QLabel*, 2> imageViews) : _imageViews{imageViews[0], imageViews[1]} {}

ImageSwitcher::~ImageSwitcher() {
    stopAnimating();
    if (_fade) {
        // The fade's completion refers to this object.
        _fade->disconnect();
        _fade->stop();
    }
}

void ImageSwitcher::loadImagesFromFile(const std::string& relativePath) {
    platform::assertMainThread();
    const std::filesystem::path configPath = platform::Bundle::mainBundle().resourcePath() / relativePath;
    std::vector<QPixmap> images;
    const auto document = platform::json::Value::parseFile(configPath);
    const auto names = document ? document->member("images") : std::nullopt;
    if (!names || !names->isArray()) {
        Logger::shared().logError("Cannot read the list of pictures from %@", configPath);
        _images = std::move(images);
        return;
    }
    for (const platform::json::Value& name : names->elements()) {
        const auto fileName = name.asString();
        const std::filesystem::path picture = configPath.parent_path() / fileName.value_or("");
        QPixmap image;
        if (!fileName || !image.load(QString::fromStdString(picture.string()))) {
            Logger::shared().logError("Cannot load the picture %@; it is left out of the slide show", picture);
            continue;
        }
        images.push_back(std::move(image));
    }
    _images = std::move(images);
}

void ImageSwitcher::startAnimating() {
    platform::assertMainThread();
    stopAnimating();
    setImage(0, _images.empty() ? nullptr : &_images[0]);
    _currentIndex = -1;
    if (_images.size() < 2) {
        return;
    }
    scheduleChange();
}

void ImageSwitcher::stopAnimating() {
    if (_pendingChange) {
        _pendingChange->invalidate();
        _pendingChange.reset();
    }
}

void ImageSwitcher::scheduleChange() {
    _pendingChange = platform::Timer::scheduled(toMilliseconds(_switchDuration), false,
                                                [this](platform::Timer&) { changeImage(); });
}

void ImageSwitcher::changeImage() {
    platform::assertMainThread();
    const auto count = static_cast<std::uint64_t>(_images.size());
    if (count == 0) {
        return;
    }
    // The unsigned pattern turns -1 into 0.
    _currentIndex = static_cast<std::int64_t>((static_cast<std::uint64_t>(_currentIndex) + 1) % count);
    const std::size_t next = static_cast<std::size_t>((static_cast<std::uint64_t>(_currentIndex) + 1) % count);
    setImage(0, &_images[static_cast<std::size_t>(_currentIndex)]);
    setImage(1, &_images[next]);

    if (QLabel* upper = _imageViews[1]) {
        if (_fade) {
            _fade->disconnect();
            _fade->stop();
        }
        auto* effect = opacityEffect(upper);
        auto* fade = new QPropertyAnimation(effect, "opacity", effect);
        fade->setDuration(static_cast<int>(toMilliseconds(_fadeDuration).count()));
        fade->setStartValue(effect->opacity());
        fade->setEndValue(1.0);
        QObject::connect(fade, &QPropertyAnimation::finished, fade, [this, next] { finishFade(next); });
        _fade = fade;
        fade->start(QAbstractAnimation::DeleteWhenStopped);
    }
    scheduleChange();
}

void ImageSwitcher::finishFade(std::size_t next) {
    setImage(0, &_images[next]);
    if (QLabel* upper = _imageViews[1]) {
        opacityEffect(upper)->setOpacity(0.0);
    }
}

void ImageSwitcher::setImage(std::size_t view, const QPixmap* image) {
    QLabel* label = _imageViews[view];
    if (label == nullptr) {
        return;
    }
    if (image == nullptr) {
        label->clear();
    } else {
        label->setPixmap(*image);
    }
}
