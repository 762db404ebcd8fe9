#pragma once

#include <string>

namespace bbssim {

// One pseudo-terminal standing for the modem's serial line. The simulator holds the master; the
// caller opens the slave. A slave only sees a hang-up when the master closes, so every hang-up
// ends this object and the simulator makes a fresh one. Not copyable: it owns the master fd.
class PtyLine {
  public:
    PtyLine() = default;
    ~PtyLine() { Close(); }
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    // Opens a new master (non-blocking) with the slave in raw mode. False with errno set.
    bool Create();
    void Close();

    int fd() const { return fd_; }
    const std::string& slavePath() const { return slavePath_; }

    // Whether some process has the slave open: a master polls POLLHUP while nobody has.
    bool SlaveOpen() const;

    // Points link at the slave: a new link beside it, renamed over the old, so a caller that
    // opens the link never finds it missing or half-made.
    bool PointLink(const std::string& link) const;

  private:
    int fd_ = -1;
    std::string slavePath_;
};

}  // namespace bbssim
