// Runs one Updater job without a window, for tests and the install benchmark:
//   updater_driver DIR SERVER_URL KEYHEX check|install|verify [--channel live|testing]
//                  [--key KEY] [--no-self-update] [--updated] [--fault own-path|placing]
//                  [--output-folder FOLDER]
// DIR is the launcher folder (the game goes to DIR/game). A check may self-update, unless
// "--no-self-update" or "--updated" is given, as in the launcher; the restarted copy gets these
// same arguments. "--fault" asks the self-update for one of its test faults. The output goes to
// the console, or with "--output-folder" to the file FOLDER/PID.out of each process. First one line
// "start PID [FOLDER] [ARG]..." with the process id, the working folder and every argument, then
// every status change as one line "status STATE PROGRESS MESSAGE", then the status after the job
// as one line
// "final state=.. progress=.. channel=.. key=.. installed=.. latest=.. download=.. game=..
// message=..". Log lines go to the console as in the launcher. Returns the exit status: 0, or 1
// when the job ended Failed, 2 for bad arguments.
#pragma once

namespace kd::test {

// argv[0] is the program name, as in main.
int runUpdaterDriver(int argc, char** argv);

}  // namespace kd::test
