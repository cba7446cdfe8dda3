#pragma once

// Notes for the status bar where the window would otherwise leave a user
// wondering why nothing happens.

#include <cstddef>
#include <string>

namespace harlune {

class HTB_Manager;

// With filtering off nothing the user configured reaches the packets: the
// note says so while filters or HTB classes exist; empty otherwise.
std::string FilteringOffNote(bool filtering, std::size_t filterCount, bool htbClasses);

// Whether either tree holds a class below its root.
bool HasHtbClasses(const HTB_Manager& manager);

}  // namespace harlune
