// CONTRACT DRAFT (implemented by the foundation work).
// Shows " message: (detail) " in a modal "Error" box when a display is present, and always logs
// the same text at level 0. Without a display it only logs, so nobody waits on an unseen box.
#pragma once

#include <string>

namespace qx {

void ErrorBox(const std::string& message, const std::string& detail);

}  // namespace qx
