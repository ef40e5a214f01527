#pragma once

// Every user-visible text of the program, by number. Texts stand exactly as the program shows
// them, spelling included.

#include <string>

enum class StrId : int {
    ProductName = 1,
    Version = 2,
    CaptionPasteUrl = 3,
    CaptionEnterUrl = 4,
    CaptionSelectFile = 5,
    PleaseEnterUrl = 6,
    PleaseSelectLocalFile = 7,
    OutputDirNotExist = 8,
    CreateNewDirectory = 9,
    SelectDirectoryTitle = 10,
    HomePageUrl = 11,
    MakerSiteUrl = 12,
    UpdatePageUrl = 13,
    Received = 14,
    ConvertOutputLocked = 15,
    HasExistedOverwrite = 16,
    UnableGetHtmlFrom = 17,
    GetHtmlPleaseWait = 18,
    UnableGetHtmlTryLater = 19,
    AgeMessage1 = 20,
    AgeMessage2 = 21,
    AgeMessage3 = 22,
    AgeMessage4 = 23,
    AgeMessage5 = 24,
    CannotCreate = 25,

    // Why a page attempt ended without the page
    NoAnswerInTime = 500,
    PageUnfinishedInTime = 501,
    BodyNotDecoded = 502,
    BodyNotValidEncoding = 503,

    // Why settings.ini is kept as it is
    SettingsReadOnly = 510,
    SettingsLink = 511,
    SettingsNotAFile = 512,

    // Message boxes
    MoreLinesInDetails = 520,
    MessageInformation = 521,
    MessageError = 522,

    // Names for assistive technology
    BrowseFileName = 530,
    BrowseFolderName = 531,
    BannerName = 532,
    UpdateGlyphName = 533,
    ProgramPictureName = 534,

    // Main window
    MakerDomain = 100,
    TitleHint = 101,
    CheckForUpdates = 102,
    ExampleUrl = 103,
    UrlEnd = 104,
    ListHint = 105,
    Paste = 106,
    PasteHint = 107,
    BrowseFile = 108,
    BrowseFileHint = 109,
    Remove = 110,
    RemoveHint = 111,
    AutoCopy = 112,
    OutputFolder = 113,
    BrowseFolder = 114,
    BrowseFolderHint = 115,
    ConvertTo = 116,
    ModeDownload = 117,
    ModeDownloadConvert = 118,
    ModeConvert = 119,
    MenuHint = 120,
    Advanced = 121,
    Start = 122,
    ShowFiles = 123,
    Exit = 124,
    MenuHomePage = 125,
    MenuQuality = 126,
    QualityNormal = 127,
    QualityHQ = 128,
    QualityHD = 129,
    QualityBest = 130,
    MenuAbout = 131,
    MenuPasteFromClipboard = 132,
    MenuBrowser = 133,
    MenuRemoveItem = 134,
    MenuRemoveAll = 135,
    MenuConnections = 137,
    FileFilter = 136,

    // About window
    AboutCaption = 200,
    AboutVersionLine = 201,
    AboutNotice = 202,
    AboutSupport = 203,
    AboutWebAddress = 204,
    Ok = 205,

    // Download window
    DetailsGroup = 300,
    DownloadSize = 301,
    EstimatingTime = 302,
    DownloadSpeed = 303,
    ConvertingGroup = 304,
    TimeElapsed = 305,
    TimeEstimated = 306,
    ZeroTime = 307,
    Stop = 308,
    Downloading = 309,
    KB = 310,
    KBPerSecond = 311,
    Reconnecting = 312,
    TransferFileKeepsChanging = 313,
    TransferOtherRange = 314,
    TransferNoData = 315,

    // Desktop notification at the end of a run
    RunEndSummary = 400,
    RunEndBody = 401,

    // A start that finds no display
    NoDisplaySummary = 402,
    NoDisplayBody = 403,

    // Requests the HTTP client refuses to write, and how a transfer ended
    RequestUnsafe = 540,
    TooManyRelocations = 541,

    // Secure connections and tunnels (%1 the host)
    TlsNotTrusted = 550,
    TlsExpired = 551,
    TlsOtherName = 552,
    TlsClosed = 553,
    TlsFailed = 554,
    ProxyRefusedTunnel = 555,

    // Files a run makes, and the converter it starts
    PartFileGone = 560,
    ConverterNotInstalled = 561,

    // Pages of other sites, and what the converter takes in
    NoVideoFoundOn = 600,
    ManifestOnlyOn = 601,
    VideoFilesFilter = 602,
};

// The text of id; an unknown id gives an empty text.
const std::string& LoadStr(StrId id);

// The age-restriction message: its five pieces joined in order.
std::string AgeMessage();
