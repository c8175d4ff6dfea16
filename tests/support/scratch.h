#pragma once
// A scratch folder private to this test process. CTest starts every test in a new process and
// process ids are reused, so a name built from the pid alone can meet the files of an earlier
// test; mkdtemp gives a fresh folder instead, removed when the process exits.
#include <string>

namespace klx_test {

// The process's scratch folder, created on first use under TMPDIR (or /tmp).
const std::string& scratch_root();

// A path inside the scratch folder that no earlier call of this process returned.
std::string scratch_path(const std::string& name);

}  // namespace klx_test
