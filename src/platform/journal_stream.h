// Whether standard error is connected to the systemd journal.
//
// systemd sets JOURNAL_STREAM to "DEVICE:INODE" of the stream it connects a service's standard
// error to; the variable is inherited by children whose stderr goes elsewhere, so it counts only
// when it names the descriptor we actually hold.
#pragma once

namespace qx {

bool StderrIsJournal();

}  // namespace qx
