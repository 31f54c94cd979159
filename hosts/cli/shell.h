// The tool's shell: engine operations run call by call on one record file, as a
// developer tries them out. Each line names an operation (by name or number) with its
// key number, key buffer and data buffer; each answer shows the status with its text, the
// key buffer and the data buffer in hex and text. The buffers and the position block stay
// from call to call, as they do in a program. Lines come from libedit (with history) on a
// terminal and are read plainly and echoed otherwise, so a session can be scripted.
//
// The calls go to the engine through the component's engine binding, with the shell's own
// position block and buffers; the table reads the file's key description first, so that a
// key buffer can be given as typed values of the key's segments.
#pragma once

#include <istream>
#include <ostream>

#include "table/btr.h"

namespace vastrel::cli {

// Opens the table's file (FileName, DbOwner), runs the commands of in until its end or
// "quit", closes the file and answers the exit code: 0, or 1 when a line could not be
// understood or the file could not be opened. Engine statuses are answers, not failures.
int RunShell(table::TBtr& table, std::istream& in, std::ostream& out);

}  // namespace vastrel::cli
