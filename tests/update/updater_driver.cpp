// The headless driver of the update engine; see driver_job.h for its arguments and output.
#include "tests/update/driver_job.h"

int main(int argc, char** argv) { return kd::test::runUpdaterDriver(argc, argv); }
