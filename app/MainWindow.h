#pragma once

// The main window: the job list, the output folder, the profile and the mode, the quality menu,
// and the buttons that start a run. It owns the user's settings and the shared converter runner.

#include <QClipboard>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/JobList.h"
#include "app/Places.h"
#include "common/StringTable.h"
#include "platform/Form.h"
#include "retrieval/Download.h"

class QAction;
class QButtonGroup;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QMimeData;
class QPushButton;
class QRadioButton;
class QCheckBox;
class QTreeWidget;
class QWidget;
class TConvertProcess;

namespace platform {
class ClipboardWatcher;
}  // namespace platform

namespace ui {
class ClickLabel;
class LinkLabel;
}  // namespace ui

// The name a running copy is found by.
extern const char* const kMainWindowClassName;

class TfrmMain : public platform::TForm, public TDownloadOwner {
    Q_OBJECT
public:
    // settings.ini lives in places.settingsFolder; places.outputFolder is offered for output
    // until one is chosen.
    explicit TfrmMain(const ProgramPlaces& places);
    // programFolder, with a trailing "/", for both.
    explicit TfrmMain(const std::string& programFolder)
        : TfrmMain(ProgramPlaces{programFolder, programFolder}) {}
    ~TfrmMain() override;

    // State kept in settings.ini
    std::string OutputDirectory;
    int Mode = 0;
    int ConvertFormat = 0;
    bool AutoCopy = false;
    int Quality = 0;
    // Connections one file is fetched over at once, 1 to 16.
    int Connections = 4;
    // The next clipboard viewer; there is none on this desktop, so it stays null.
    QObject* NextViewer = nullptr;

    // The one converter runner of the program, used by every run.
    std::unique_ptr<TConvertProcess> ConvertProcess;

    void LoadSaveSettings(bool load);
    // The chosen profile's output extension (by its text) and converter parameters (by index).
    std::string GetOutputExt() const;
    std::string GetConvertParams() const;
    std::string SettingsPath() const;

    // Handlers
    void rbDownloadClick();
    void rbDownloadConvertClick();
    void rbConvertClick();
    void mi_QalityClick(QAction* item);
    void iAboutClick();
    void Homepage1Click();
    void lTitleClick();
    void lUpdateClick();
    void About1Click();
    void bExitClick();

    // Job list and intake
    void bPasteClick();
    void bRemoveClick();
    void miRemoveAllClick();
    void cbAutoCopyClick();
    void lvMainChange();
    std::vector<std::string> Jobs() const;
    int JobCount() const;
    // Index of the selected job, or -1.
    int SelectedJob() const;

    // Output folder and local files
    void bStartClick();
    void bShowFilesClick();
    void bBrowserClick();
    void bSelectFileClick();

    // Controls, named as on the form
    QLabel* imgTitle = nullptr;
    ui::ClickLabel* Image1 = nullptr;
    ui::ClickLabel* lTitle = nullptr;
    QLabel* lTitleHint = nullptr;
    QLabel* iUpdate = nullptr;
    ui::LinkLabel* lUpdate = nullptr;
    QWidget* pSingleMode = nullptr;
    QLabel* lVideo = nullptr;
    QLabel* lUrl = nullptr;
    QLabel* lUrlEnd = nullptr;
    QTreeWidget* lvMain = nullptr;
    QPushButton* bPaste = nullptr;
    QPushButton* bSelectFile = nullptr;
    QPushButton* bRemove = nullptr;
    QCheckBox* cbAutoCopy = nullptr;
    QWidget* pOutputFolder = nullptr;
    QLabel* lOutputFolder = nullptr;
    QLineEdit* eOutputFolder = nullptr;
    QPushButton* bBrowser = nullptr;
    QFrame* pLine = nullptr;
    QLabel* lConvertTo = nullptr;
    QComboBox* cbFormat = nullptr;
    QRadioButton* rbDownload = nullptr;
    QRadioButton* rbDownloadConvert = nullptr;
    QRadioButton* rbConvert = nullptr;
    ui::ClickLabel* WlmShiftImage1 = nullptr;
    ui::ClickLabel* lbEAddress = nullptr;
    QPushButton* bStart = nullptr;
    QPushButton* bShowFiles = nullptr;
    QPushButton* bExit = nullptr;

    QMenu* suiPopupMenu1 = nullptr;
    QAction* Homepage1 = nullptr;
    QMenu* miYoutubeDownloadQuality = nullptr;
    QAction* Normal1 = nullptr;
    QAction* HQ1 = nullptr;
    QAction* HD1 = nullptr;
    QAction* BestAvailable1 = nullptr;
    QMenu* miConnections = nullptr;
    QAction* About1 = nullptr;

    QMenu* suiPopupMenu2 = nullptr;
    QAction* miPaste = nullptr;
    QAction* miBrowser = nullptr;
    QAction* miRemoveItem = nullptr;
    QAction* miRemoveAll = nullptr;

    // What a run reads from this window
    std::string OutputFolderText() const override;
    int DownloadQuality() const override { return Quality; }
    int TransferConnections() const override { return Connections; }
    TConvertProcess& Converter() override { return *ConvertProcess; }
    QWidget* OwnerWindow() override { return this; }

protected:
    void FormCreate();
    void FormShow() override;
    void FormClose() override;
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateControls();
    void CreateMenus();
    void SetTabOrder();
    void ApplyMode(bool convertControls, bool downloadControls, StrId caption);
    void OnSecondInstance(const std::string& activationToken);
    void OnClipboardChange();
    void OnClipboardText(const std::string& text);
    // Auto copy is on and the mode takes addresses.
    bool AutoCopyTakes() const;
    void TakeClipboardText(IntakeSource source = IntakeSource::PasteOrDrop);
    // The intake of Paste, for text from the clipboard or a drop.
    void TakeText(const std::string& text, IntakeSource source = IntakeSource::PasteOrDrop);
    // Adds the files that are not yet jobs, as the file chooser does.
    void TakeFiles(const std::vector<std::string>& files);
    void PaintPictures();
    void AppendJobs(const std::vector<std::string>& texts);
    void SelectJob(int index);
    // True when settings.ini may be replaced; otherwise says once on stderr why it is kept.
    bool SettingsMayBeWritten();

    ProgramPlaces places_;
    // The user has been told that settings.ini is kept as it is.
    bool settingsKeptSaid_ = false;
    QMetaObject::Connection clipboardViewer_;
    // Folder of the files last taken in this session; empty until then.
    std::string lastFileFolder_;
    // Where the Wayland compositor tells every clipboard change; null elsewhere.
    std::unique_ptr<platform::ClipboardWatcher> clipboardWatcher_;

    // What a drag over the job list offers, read once as it enters: the list takes it or not.
    struct DropOffer {
        bool wanted = false;
        bool convert = false;
        std::string text;
        std::vector<std::string> files;
    };
    DropOffer ReadDrop(const QMimeData* data) const;
    // The offer of the drag under way, kept for its moves and its drop.
    std::optional<DropOffer> dropOffer_;
};
