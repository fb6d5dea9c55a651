// Runs one Updater job without a window, for tests and benchmarks:
//   updater_driver DIR SERVER_URL KEYHEX check|install|verify [--no-self-update] [--updated]
//                  [--fault own-path|placing] [--connections N]
// DIR is the launcher folder, locked as the launcher locks it. A check may self-update as the
// launcher does, restarting with these same arguments. Prints one "status STATE PROGRESS MESSAGE"
// per status change, then "final state=N message=M". Exits 1 when the job ended Failed, 2 on bad
// arguments.
#pragma once

namespace kd::test {

// argv[0] is the program name, as in main.
int runUpdaterDriver(int argc, char** argv);

}  // namespace kd::test
