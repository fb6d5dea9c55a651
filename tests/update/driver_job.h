// Runs one Updater job without a window, for tests and the install benchmark:
//   updater_driver DIR SERVER_URL KEYHEX check|install|verify [--channel live|testing]
//                  [--key KEY] [--no-self-update]
// DIR is the launcher folder (the game goes to DIR/game). Every status change is printed as one
// line "status STATE PROGRESS MESSAGE", then the status after the job as one line
// "final state=.. progress=.. channel=.. key=.. installed=.. latest=.. download=.. game=..
// message=..". Log lines go to the console as in the launcher. Returns the exit status: 0, or 1
// when the job ended Failed, 2 for bad arguments.
#pragma once

namespace kd::test {

// argv[0] is the program name, as in main.
int runUpdaterDriver(int argc, char** argv);

}  // namespace kd::test
