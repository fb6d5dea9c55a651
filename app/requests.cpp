#include "app/requests.h"

#include <filesystem>

#include "app/paths.h"
#include "app/process.h"
#include "log/log.h"
#include "update/updater.h"

namespace kd {

launcher::Channel channelOf(const LauncherSettings& settings) {
    return settings.testingChannel ? launcher::Channel::Testing : launcher::Channel::Live;
}

bool carryOut(const UiActions& actions, LauncherUi& ui, launcher::Updater& updater,
              const std::string& installDir, const std::function<const char*()>& clipboard) {
    // A new request makes the last failure old news.
    if (!actions.empty()) ui.failure.clear();
    std::string error;
    for (UiAction action : actions) {
        switch (action) {
            case UiAction::None:
                break;
            case UiAction::SaveSettings:
                if (!writeSettings(installDir, ui.settings, error)) reportFailure(ui, error);
                updater.setChannel(channelOf(ui.settings), ui.settings.testerKey);
                break;
            case UiAction::Check:
                updater.check(false);
                break;
            case UiAction::Update:
            case UiAction::Verify:
                updater.update(action == UiAction::Verify);
                break;
            case UiAction::Play: {
                const std::string gameDir = updater.gameDir().string();
                if (startProcess(gameDir + "/" + productName(), {}, gameDir, error)) {
                    launcherLog.info("started the game");
                    return false;
                }
                reportFailure(ui, error);
                break;
            }
            case UiAction::OpenFolder: {
                // Made on demand, so the link works before anything is installed.
                std::error_code ec;
                std::filesystem::create_directories(updater.gameDir(), ec);
                if (!openFolder(updater.gameDir().string(), error)) reportFailure(ui, error);
                break;
            }
            case UiAction::Paste:
                if (const char* text = clipboard()) ui.keyText = filterKeyText(ui.keyText + text);
                break;
        }
    }
    return true;
}

}  // namespace kd
