#include "MainViewController.h"

#include "AppDelegate.h"
#include "CriticalAlert.h"
#include "Formatters.h"
#include "Logger/Logger.h"
#include "RootTask.h"
#include "StatisticsManager.h"
#include "platform/Application.h"
#include "platform/Dispatch.h"
#include "platform/Paths.h"
#include "platform/RunLoop.h"
#include "platform/Utf8.h"

#include "ui_MainViewController.h"

#include <QCloseEvent>
#include <QGraphicsOpacityEffect>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace {

constexpr int kBarMaximum = 1000;
constexpr const char* kPublisherCaption = "Publisher:";
// The state shown from the first paint until the first step starts.
constexpr const char* kInitializingStatus = "Initializing...";
constexpr std::chrono::milliseconds kFirstPaintWait{500};

void setText(const QPointer<QLabel>& label, const std::string& text) {
    if (label) {
        label->setText(QString::fromStdString(text));
    }
}

// Remote text (the publisher) in a label of the fixed-size window: what fits the label's width,
// ending in an ellipsis when cut. It is cut first to more characters than any label can show (no
// visible character is narrower than a pixel, and no label is wider than the window), so that Qt
// never lays out more than that however long the text is; Qt then cuts it to the width. The
// form gives such a label the rest of its row whatever it shows, so its width is the room there is.
void setFittedText(const QPointer<QLabel>& label, const std::string& text) {
    constexpr std::size_t kMostCharactersShown = 1000;
    if (label) {
        const QString cut = QString::fromStdString(platform::utf8::truncated(text, kMostCharactersShown));
        label->setText(label->fontMetrics().elidedText(cut, Qt::ElideRight, label->contentsRect().width()));
    }
}

void setHidden(QWidget* view, bool hidden) {
    if (view != nullptr) {
        view->setHidden(hidden);
    }
}

}  // namespace

// Closing the window ends the application through its one ending instead of Qt's own quit; the
// first paint lets the installation start.
class MainViewController::WindowEvents : public QObject {
public:
    WindowEvents(MainViewController& controller, QObject* parent) : QObject(parent), _controller(controller) {}

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Close) {
            event->ignore();
            _controller.windowWillClose();
            return true;
        }
        if (event->type() == QEvent::Paint && watched == _controller._view.get()) {
            // After this paint has reached the screen.
            platform::dispatch::asyncMain([weakController = _controller.weak_from_this()] {
                if (auto controller = weakController.lock()) {
                    controller->loadOnce();
                }
            });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    MainViewController& _controller;
};

MainViewController::MainViewController(Options options) : _options(std::move(options)) {
    if (!_options.terminate) {
        _options.terminate = [](int status) { platform::Application::terminate(status); };
    }
    if (!_options.sendAction) {
        _options.sendAction = [](std::int64_t code) { StatisticsManager::shared().sendAction(code); };
    }
}

MainViewController::~MainViewController() {
    _imageSwitcher.reset();
    if (_mainTask) {
        if (_mainTask->taskDelegate() == this) {
            _mainTask->setTaskDelegate(nullptr);
        }
        if (_mainTask->delegate() == this) {
            _mainTask->setDelegate(nullptr);
        }
    }
}

std::shared_ptr<MainViewController> MainViewController::create(Options options) {
    platform::assertMainThread();
    std::shared_ptr<MainViewController> controller(new MainViewController(std::move(options)));
    controller->loadView();
    controller->showStep(kInitializingStatus, true, false);
    controller->_view->show();
    // The slide show, the meters and the installation start once the window has painted its first
    // state, or after a short wait for a window that the desktop shows later.
    platform::dispatch::afterMain(kFirstPaintWait, [weakSelf = controller->weak_from_this()] {
        if (auto self = weakSelf.lock()) {
            self->loadOnce();
        }
    });
    return controller;
}

void MainViewController::loadOnce() {
    if (_viewLoaded || platform::Application::isTerminating()) {
        return;
    }
    _viewLoaded = true;
    viewDidLoad();
}

void MainViewController::loadView() {
    _view = std::make_unique<QWidget>();
    Ui::MainWindow form;
    form.setupUi(_view.get());
    _outlets = Outlets{form.imageView1,     form.imageView2,     form.statusLabel,  form.taskLabel,
                       form.percentsLabel,  form.volumeLabel,    form.publisherLabel, form.publisherName,
                       form.speedBox,       form.speedLabel,     form.remainingTimeBox, form.remainingTimeLabel,
                       form.progressBar};
    // The upper picture starts fully transparent, so that the first change is a fade.
    auto* transparent = new QGraphicsOpacityEffect(form.imageView2);
    transparent->setOpacity(0.0);
    form.imageView2->setGraphicsEffect(transparent);
    _view->installEventFilter(new WindowEvents(*this, _view.get()));
}

void MainViewController::viewDidLoad() {
    platform::assertMainThread();
    _imageSwitcher = std::make_unique<ImageSwitcher>(std::array<QLabel*, 2>{_outlets.imageView1, _outlets.imageView2});
    _imageSwitcher->loadImagesFromFile("Configs/Configs.json");
    _imageSwitcher->startAnimating();
    createMeters();

    std::error_code ignored;
    std::filesystem::create_directories(platform::paths::logsDirectory(), ignored);
    prepareProgressFile();

    setText(_outlets.publisherLabel, kPublisherCaption);
    setText(_outlets.publisherName, "");
    start();
}

void MainViewController::createMeters() {
    // The meters outlive no window: their callbacks hold the controller weakly.
    std::weak_ptr<MainViewController> weakSelf = weak_from_this();
    _speedometer = std::make_unique<Speedometer>();
    _speedometer->setUpdateCallback([weakSelf](std::uint64_t speed) {
        if (auto self = weakSelf.lock()) {
            self->setBytesPerSecond(speed);
            setText(self->_outlets.speedLabel,
                    platform::format("%@/s", Formatters::stringFromBytes(static_cast<std::int64_t>(speed))));
        }
    });
    _remainingTimeMeter = std::make_unique<RemainingTimeMeter>();
    _remainingTimeMeter->setUpdateCallback([weakSelf](double seconds) {
        if (auto self = weakSelf.lock()) {
            setText(self->_outlets.remainingTimeLabel, seconds > 10000.0 ? "..." : Formatters::timeFromInterval(seconds));
        }
    });
    _bandwithUpdater = std::make_unique<UpdateBandwidth>();
    _bandwithUpdater->setUpdateCallback([](std::uint64_t) {});
}

void MainViewController::prepareProgressFile() {
    // A run that does not hold the lock must not empty the file a running installation reports into.
    if (MainTask::otherInstallerHoldsLock(_options.lockFilePath)) {
        Logger::shared().logWarn("Another installation is running; its progress file is left as it is.");
        return;
    }
    std::ofstream empty(RootTask::progressCatcherPath(), std::ios::trunc);
}

void MainViewController::start() {
    platform::assertMainThread();
    _mainTask = _options.mainTask ? _options.mainTask : AppDelegate::shared().mainTask();
    _mainTask->setTaskDelegate(this);
    _mainTask->setDelegate(this);
    _state = State::Running;
    _mainTask->execute();
}

void MainViewController::setProgress(double progress) {
    platform::assertMainThread();
    _progress = std::isfinite(progress) ? std::clamp(progress, 0.0, 1.0) : 0.0;
    if (_outlets.progressBar && _outlets.progressBar->maximum() != 0) {
        _outlets.progressBar->setValue(static_cast<int>(std::lround(_progress * kBarMaximum)));
    }
    setText(_outlets.percentsLabel, std::to_string(static_cast<int>(std::floor(_progress * 100.0))) + "%");
}

void MainViewController::setBarIndeterminate(bool indeterminate) {
    QProgressBar* bar = _outlets.progressBar;
    if (bar == nullptr || (bar->maximum() == 0) == indeterminate) {
        return;
    }
    // An empty range is Qt's busy bar; the value is lost on the way, so it is written again.
    bar->setRange(0, indeterminate ? 0 : kBarMaximum);
    setProgress(_progress);
}

bool MainViewController::hopToMainThread(std::function<void(MainViewController&)> call) {
    if (platform::RunLoop::isMainThread()) {
        return false;
    }
    platform::dispatch::asyncMain([weakSelf = weak_from_this(), call = std::move(call)] {
        if (auto self = weakSelf.lock()) {
            call(*self);
        }
    });
    return true;
}

void MainViewController::taskDidStartWithStatus(Task* task, const std::string& status) {
    TaskPtr keep = task != nullptr ? task->weak_from_this().lock() : nullptr;
    if (hopToMainThread([task, keep, status](MainViewController& self) { self.taskDidStartWithStatus(task, status); })) {
        return;
    }
    if (hasEnded()) {
        return;
    }
    const bool unsized = task == nullptr || task->totalProgress() == 0.0;
    showStep(status, unsized, !unsized && task->knownRemainingTime());
}

void MainViewController::showStep(const std::string& status, bool unsized, bool knownRemainingTime) {
    setText(_outlets.statusLabel, status);
    setText(_outlets.publisherLabel, kPublisherCaption);
    setFittedText(_outlets.publisherName, _mainTask ? _mainTask->publisher() : std::string());
    setBarIndeterminate(unsized);
    setHidden(_outlets.percentsLabel, unsized);
    setHidden(_outlets.remainingTimeBox, unsized || !knownRemainingTime);
    setHidden(_outlets.speedBox, unsized || !knownRemainingTime);
}

double MainViewController::taskDidUpdateProgress(Task* task, double progress) {
    // Truncated toward zero; what cannot be a byte count counts as none.
    const std::uint64_t bytes = std::isfinite(progress) && progress > 0 && progress < 1.8e19
                                    ? static_cast<std::uint64_t>(progress)
                                    : 0;
    TaskPtr keep = task != nullptr ? task->weak_from_this().lock() : nullptr;
    if (hopToMainThread([task, keep, progress](MainViewController& self) { self.taskDidUpdateProgress(task, progress); })) {
        return static_cast<double>(bytes);
    }
    if (hasEnded()) {
        return static_cast<double>(bytes);
    }
    const double total = _mainTask ? _mainTask->totalProgress() : (task != nullptr ? task->totalProgress() : 0.0);
    setProgress(progress / total);
    if (_speedometer) {
        _speedometer->commitDownloadedBytes(bytes);
        _remainingTimeMeter->commitDownloadedBytes(bytes, _bytesPerSecond);
        _bandwithUpdater->commitDownloadedBytes(bytes);
    }
    return static_cast<double>(bytes);
}

void MainViewController::taskDidUpdateProgressLabelWithValue(Task* task, const std::string& label,
                                                             const std::string& value) {
    TaskPtr keep = task != nullptr ? task->weak_from_this().lock() : nullptr;
    if (hopToMainThread([task, keep, label, value](MainViewController& self) {
            self.taskDidUpdateProgressLabelWithValue(task, label, value);
        })) {
        return;
    }
    if (hasEnded()) {
        return;
    }
    setText(_outlets.taskLabel, label);
    setText(_outlets.volumeLabel, value);
}

void MainViewController::taskFinishedWithError(Task* task, const platform::Error& error) {
    TaskPtr keep = task != nullptr ? task->weak_from_this().lock() : nullptr;
    if (hopToMainThread([task, keep, error](MainViewController& self) { self.taskFinishedWithError(task, error); })) {
        return;
    }
    if (hasEnded()) {
        Logger::shared().logWarn("Ignored a failure after the installation had ended: %@", error.description());
        return;
    }
    _state = State::Failed;
    CriticalAlert::runModal(error, _view.get());
    _options.terminate(1);
}

void MainViewController::executionFinishedOfTask(Task* task) {
    TaskPtr keep = task != nullptr ? task->weak_from_this().lock() : nullptr;
    if (hopToMainThread([task, keep](MainViewController& self) { self.executionFinishedOfTask(task); })) {
        return;
    }
    if (hasEnded()) {
        return;
    }
    _state = State::Finishing;
    setText(_outlets.taskLabel, "Installation successfully finished");
    setText(_outlets.statusLabel, "Finished");
    setBarIndeterminate(false);
    if (_mainTask) {
        for (const auto& downloader : _mainTask->downloaders()) {
            if (downloader && downloader->entry()) {
                _options.sendAction(downloader->entry()->installCompletedStatus);
            }
        }
    }
    platform::dispatch::afterMain(std::chrono::seconds(2), [terminate = _options.terminate] {
        Logger::shared().logDebug("App will terminate soon");
        terminate(0);
    });
}

void MainViewController::mainTaskDidFetchDownloadingSize(MainTask* task, std::int64_t size) {
    if (hopToMainThread([task, size](MainViewController& self) { self.mainTaskDidFetchDownloadingSize(task, size); })) {
        return;
    }
    if (hasEnded() || !_remainingTimeMeter) {
        return;
    }
    // An unknown total (negative) shows "..." until a total is known.
    _remainingTimeMeter->setTotalBytes(size >= 0 ? std::optional<std::uint64_t>(size) : std::nullopt);
    _remainingTimeMeter->setBytesPerSecond(0);
    _remainingTimeMeter->start();
}

void MainViewController::windowWillClose() {
    platform::assertMainThread();
    _options.terminate(_state == State::Finishing ? 0 : 2);
}
