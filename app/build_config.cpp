// The values a publisher compiles into the launcher.
#include "app/options.h"

namespace kd {

const char* defaultServerUrl() { return VEILSTONE_SERVER_URL_TEXT; }
const char* releaseKeyText() { return VEILSTONE_RELEASE_KEY_TEXT; }
bool trustsDemoKey() { return VEILSTONE_TRUSTS_DEMO_KEY != 0; }

}  // namespace kd
