// The conversion stage: hand the downloaded (or local) file to the program's converter runner
// and follow its reports until it ends.

#include <QLabel>
#include <QProgressBar>

#include "common/Global.h"
#include "common/StringTable.h"
#include "convert/ConvertThread.h"
#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "platform/Messages.h"
#include "platform/Process.h"
#include "retrieval/Download.h"
#include "retrieval/TransferProgress.h"

void TfrmDownload::WMConvertFile() {
    const std::string input =
        !eDownloadUrl.empty() ? DownloadPath : OutputFolder() + CleanFileName(eFileName);
    if (failedJobs_.count(JobIndex) != 0 || !platform::FileExists(input)) {
        // A job that failed has its line already, and whatever lies under its name is not its
        // video: converting it would only make a wrong or broken file. Nothing at all there:
        // a conversion would only fail again.
        Advance();
        return;
    }
    ShowPanel(Panel3);
    // The job's own download is converted onto itself without a question (an MP4 profile
    // after HQ): it is the file the user asked for, not one of theirs.
    owner_.Converter().InputIsOwnDownload = transferred_;
    StartConversion(input);
}

void TfrmDownload::StartConversion(const std::string& input) {
    TConvertProcess& converter = owner_.Converter();
    converter.Running = true;
    converter.InputFile = input;
    converter.OutputFile =
        OutputFolder() + transfer::ReplaceExtension(transfer::FileNamePart(input), OutputExt);
    converter.NotifyWindow = this;
    converter.Params = ConvertParams;
    conversionOutput_ = converter.OutputFile;
    try {
        converter.Start();
    } catch (const std::exception& e) {
        // No converter, or no pipes for it: the job fails, the run goes on with the next one.
        const bool missing =
            platform::FindProgram(converter.Program, platform::ExecutableFolder()).empty();
        AddError(JobLine("Conversion failed: ", converter.OutputFile,
                         missing ? LoadStr(StrId::ConverterNotInstalled)
                                 : std::string("the converter could not be started: ") + e.what()));
        conversionOutput_.clear();
        auto end = std::make_unique<TProcessInfo>();
        end->Percent = kPercentFinished;
        platform::PostEvent(this, new ConvertStatusEvent(std::move(end)));
    }
    const std::string name = transfer::FileNamePart(converter.OutputFile);
    SetElidedText(lConvertName, name);
}

void TfrmDownload::WMConvertStatus(std::unique_ptr<TProcessInfo> info) {
    if (info->Status == kStatusOutputLocked) {
        platform::Dialogs::Current().MessageBox(
            this, {LoadStr(StrId::ConvertOutputLocked), LoadStr(StrId::ProductName),
                   platform::MsgIcon::Error, platform::MsgButtons::Ok});
    }
    if (info->Percent != kPercentFinished) {
        if (info->Status == kStatusNormal) {
            suiProgressBar2->setValue(info->Percent);
        }
        lTimeElapsed->setText(Shown(info->Elapsed));
        lTimeEstimated->setText(Shown(info->Estimated));
        return;
    }
    // A converter that failed, was killed, or left nothing behind is an error of the job.
    const bool failed = info->Status == kStatusReadFailed || info->ExitCode != 0 ||
                        (info->Status == kStatusNormal && !platform::FileExists(conversionOutput_));
    if (!conversionOutput_.empty() && failed) {
        AddError(JobLine("Conversion failed: ", conversionOutput_, {}));
    }
    conversionOutput_.clear();
    ++JobIndex;
    if (static_cast<std::size_t>(JobIndex) >= Jobs.size()) {
        PostClose();
    } else if (Mode == 2) {
        StartConversion(CurrentJob());
        SetJobCaption();
    } else {
        platform::PostMessage(this, platform::WM_RESOLVE_PAGE);
    }
}
