// Running a verb: its failure reported on standard error in the tool's words, and the exit
// code it means.
#pragma once

#include "hosts/cli/verbs.h"

namespace vastrel::cli {

// The message of the exception being handled, on stderr; the exit code it means (1). Call
// only inside a catch block.
int ReportFailure();

// Runs the verb and answers its exit code: a failure reported (ReportFailure), and output
// that could not be written all, are 1.
int Execute(int (*run)(const Options&), const Options& o);

}  // namespace vastrel::cli
