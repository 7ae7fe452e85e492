#pragma once

#include "ImageSwitcher.h"
#include "MainTask.h"
#include "RemainingTimeMeter.h"
#include "Speedometer.h"
#include "TaskDelegate.h"
#include "UpdateBandwidth.h"

#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// The controller of the installer's one window. It runs the installation with itself as its
// observer and turns every report into what the window shows, and it ends the application once:
// two seconds after success (status 0), or when the failure alert is dismissed (status 1).
// Main thread only (checked in debug builds), except the task reports: one that arrives on
// another thread is moved there. The first ending wins; every report after it is ignored. Owns
// the window, the meters and the slide show; the outlets are weak, and writing to a widget that
// has gone does nothing. Remote text (the publisher) is shown cut to its label's width, with an
// ellipsis.
class MainViewController : public std::enable_shared_from_this<MainViewController>,
                           public TaskDelegate,
                           public MainTaskDelegate {
public:
    struct Options {
        // The installation to run; none: the application delegate's.
        std::shared_ptr<MainTask> mainTask;
        // Ends the application with an exit status; none: platform::Application::terminate.
        std::function<void(int)> terminate;
        // Sends a statistics action; none: the statistics facade.
        std::function<void(std::int64_t)> sendAction;
        // The installers' machine-wide lock: while another live run holds it, its progress file is left alone.
        std::string lockFilePath = "/tmp/ravl.lock";
    };

    // The widgets the controller writes to, by their names in the window's form.
    struct Outlets {
        QPointer<QLabel> imageView1;
        QPointer<QLabel> imageView2;
        QPointer<QLabel> statusLabel;
        QPointer<QLabel> taskLabel;
        QPointer<QLabel> percentsLabel;
        QPointer<QLabel> volumeLabel;
        QPointer<QLabel> publisherLabel;
        QPointer<QLabel> publisherName;
        QPointer<QWidget> speedBox;
        QPointer<QLabel> speedLabel;
        QPointer<QWidget> remainingTimeBox;
        QPointer<QLabel> remainingTimeLabel;
        QPointer<QProgressBar> progressBar;
    };

    // Loads the window from its form and shows it in its first state, "Initializing..." with a
    // busy bar; viewDidLoad, which starts the installation, follows once the main thread is free.
    static std::shared_ptr<MainViewController> create(Options options);
    static std::shared_ptr<MainViewController> create() { return create(Options()); }
    ~MainViewController() override;
    MainViewController(const MainViewController&) = delete;
    MainViewController& operator=(const MainViewController&) = delete;

    QWidget* view() const { return _view.get(); }
    const Outlets& outlets() const { return _outlets; }
    ImageSwitcher* imageSwitcher() const { return _imageSwitcher.get(); }
    Speedometer* speedometer() const { return _speedometer.get(); }
    RemainingTimeMeter* remainingTimeMeter() const { return _remainingTimeMeter.get(); }
    UpdateBandwidth* bandwithUpdater() const { return _bandwithUpdater.get(); }

    // Starts the slide show and the meters, prepares the log folder and the batch's progress
    // file, then calls start.
    void viewDidLoad();
    // Becomes the installation's observer and executes it.
    void start();

    // The fraction of the whole installation done, kept within [0, 1]; drives the bar and the percentage.
    double progress() const { return _progress; }
    void setProgress(double progress);
    std::uint64_t bytesPerSecond() const { return _bytesPerSecond; }
    void setBytesPerSecond(std::uint64_t value) { _bytesPerSecond = value; }

    // TaskDelegate
    void taskDidStartWithStatus(Task* task, const std::string& status) override;
    double taskDidUpdateProgress(Task* task, double progress) override;
    void taskDidUpdateProgressLabelWithValue(Task* task, const std::string& label, const std::string& value) override;
    void taskFinishedWithError(Task* task, const platform::Error& error) override;
    void executionFinishedOfTask(Task* task) override;

    // MainTaskDelegate
    void mainTaskDidFetchDownloadingSize(MainTask* task, std::int64_t size) override;

private:
    enum class State { Loading, Running, Finishing, Failed };
    class WindowEvents;

    explicit MainViewController(Options options);
    void loadView();
    // viewDidLoad, the first time only.
    void loadOnce();
    // Posts the call to the main thread and returns true when called on another thread.
    bool hopToMainThread(std::function<void(MainViewController&)> call);
    bool hasEnded() const { return _state == State::Finishing || _state == State::Failed; }
    void createMeters();
    void prepareProgressFile();
    void setBarIndeterminate(bool indeterminate);
    // The status, the publisher, and the bar and areas a step of that kind has.
    void showStep(const std::string& status, bool unsized, bool knownRemainingTime);
    void windowWillClose();

    Options _options;
    std::shared_ptr<MainTask> _mainTask;
    std::unique_ptr<QWidget> _view;
    Outlets _outlets;
    std::unique_ptr<Speedometer> _speedometer;
    std::unique_ptr<RemainingTimeMeter> _remainingTimeMeter;
    std::unique_ptr<UpdateBandwidth> _bandwithUpdater;
    std::unique_ptr<ImageSwitcher> _imageSwitcher;
    State _state = State::Loading;
    bool _viewLoaded = false;
    double _progress = 0;
    std::uint64_t _bytesPerSecond = 0;
};
