// Carrying out what the screen asked for during a frame: the engine's jobs, the settings file,
// starting the game, the folder opener and the clipboard. What fails goes through reportFailure.
#pragma once

#include <functional>
#include <string>

#include "app/ui.h"

namespace kd {

namespace launcher {
class Updater;
enum class Channel : std::uint32_t;
}  // namespace launcher

launcher::Channel channelOf(const LauncherSettings& settings);

// In the order the requests were made. False when the game started and the launcher should close.
// clipboard gives the clipboard's text, or null when it holds none.
bool carryOut(const UiActions& actions, LauncherUi& ui, launcher::Updater& updater,
              const std::string& installDir, const std::function<const char*()>& clipboard);

}  // namespace kd
