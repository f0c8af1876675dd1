// SPDX-License-Identifier: ISC
// tests/unit_names.cpp - the two names the library reads, for unit tests
//
// A member of the harness archive: the linker takes it only into a test that
// uses the library's diagnostics without defining these names itself (as the
// programs do), so a test that needs other texts simply defines its own.
namespace kestrix {
const char* program_name = "scrivel";
const char* usage_text = "Usage: scrivel [OPTIONS] logfile\nLog standard input to a file.\n\n"
                         "-c        Prepend a timestamp to each line\n";
}  // namespace kestrix
