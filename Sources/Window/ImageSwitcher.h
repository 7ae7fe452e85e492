#pragma once

#include "platform/Timer.h"

#include <QLabel>
#include <QPixmap>
#include <QPointer>
#include <QPropertyAnimation>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The window's slide show: every switchDuration seconds the next picture fades in over the
// current one in fadeDuration seconds, and the list wraps around. Main thread only (checked in debug builds). The two
// views belong to the window and are held weakly: a view that has gone is left alone. A picture
// that does not load is left out with an ERROR line; with no picture the views stay empty.
class ImageSwitcher {
public:
    // Element 0 is the lower view holding the current picture, element 1 the upper one that fades in.
    explicit ImageSwitcher(std::array<QLabel*, 2> imageViews);
    ~ImageSwitcher();
    ImageSwitcher(const ImageSwitcher&) = delete;
    ImageSwitcher& operator=(const ImageSwitcher&) = delete;

    // Reads the picture list "images" of the JSON file at the path relative to the bundle's
    // resources; the names are relative to that file's folder.
    void loadImagesFromFile(const std::string& relativePath);
    // Shows the first picture and, with two or more, schedules the first change.
    void startAnimating();
    // Cancels the pending change; a fade already running completes.
    void stopAnimating();
    // One change; schedules the next.
    void changeImage();

    const std::vector<QPixmap>& images() const { return _images; }
    void setImages(std::vector<QPixmap> images) { _images = std::move(images); }
    std::int64_t currentIndex() const { return _currentIndex; }
    double fadeDuration() const { return _fadeDuration; }
    void setFadeDuration(double seconds) { _fadeDuration = seconds; }
    double switchDuration() const { return _switchDuration; }
    void setSwitchDuration(double seconds) { _switchDuration = seconds; }
    // True while a change is scheduled.
    bool isChangeScheduled() const { return _pendingChange && _pendingChange->isValid(); }

private:
    void scheduleChange();
    void finishFade(std::size_t next);
    void setImage(std::size_t view, const QPixmap* image);

    std::int64_t _currentIndex = -1;
    std::array<QPointer<QLabel>, 2> _imageViews;
    std::vector<QPixmap> _images;
    double _fadeDuration = 2.0;
    double _switchDuration = 7.0;
    std::shared_ptr<platform::Timer> _pendingChange;
    QPointer<QPropertyAnimation> _fade;
};
