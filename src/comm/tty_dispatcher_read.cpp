// TCxTtyDispatcher, input: the event thread reads the device into the driver queue and moves it
// on into the receive ring; the reading calls (GetChar, PeekBlock, FlushInBuffer ...) run on
// whichever thread the reader is on, usually a handler on the main or the dispatch thread.
#include "comm/tty_dispatcher.h"

#include <algorithm>
#include <cstring>

#include "comm/cx_exception.h"
#include "comm/error_msg.h"

namespace qx {

void TCxTtyDispatcher::EventThread() {
    bool emptyRead = false;  // the last read after a readiness found nothing
    while (!kill_) {
        // A receive loop reads the line itself when the queue runs dry. Reading here as well
        // would only take turns with the loop, cost a wake-up per piece and take the CPU from
        // whoever feeds the line: leave it the line, but not for long, as a handler that takes
        // its time must not keep the line from being read into the queue.
        if (loopRunning_) {
            std::unique_lock lock(evMutex_);
            loopEnded_.wait_for(lock, std::chrono::milliseconds(kLoopReadsMs),
                                [&] { return !loopRunning_ || kill_.load(); });
        }
        // While the dispatch thread reads the line itself this thread only watches for a
        // hang-up.
        SerialEvents ev = device_.WaitForEvent(!inputPaused_ && !procHandlers_, -1);
        if (kill_) break;
        // Reading here lets the next piece of input arrive while the dispatch thread delivers
        // the previous one; the read also consumes the level-triggered readiness.
        // A wake-up with input waiting in the driver queue means the ring has room for it.
        const size_t got = ev.Readable || queued_ > 0 ? Extract(true) : 0;
        if (!ev.Readable && !ev.HangUp && got == 0) continue;  // only woken: poll again
        std::unique_lock lock(evMutex_);
        commEvent_ = true;
        WakeDispatch();
        // After an empty read (a flush may have taken the bytes) poll once more; a second
        // empty read in a row is treated as a lasting condition.
        const bool pollAgain =
            !ev.HangUp && (got > 0 || (!emptyRead && !inputPaused_ && !device_.HungUp()));
        emptyRead = got == 0;
        if (pollAgain) continue;
        // Nothing could be read (ring and queue full, end of the device): wait for the
        // dispatch thread to deal with it, so a condition that stays raised cannot keep this
        // thread spinning.
        ready_ = false;
        evChanged_.wait(lock, [&] { return ready_ || kill_.load(); });
        emptyRead = false;
    }
    ThreadEnded(true);
}

size_t TCxTtyDispatcher::ReadDevice() {
    // Only the event thread reads the device and moves the queue's head; the others only move
    // its tail, which frees room. The free part is therefore filled without the lock, and the
    // dispatch thread tops the ring up from the queue meanwhile: a read that finds the line's
    // buffer empty waits for the kernel to move pending input, and nobody should wait for that.
    std::lock_guard reading(readMutex_);
    size_t total = 0;
    for (;;) {
        size_t at, room;
        uint64_t flushes;
        {
            std::lock_guard extracting(extractMutex_);
            const size_t used = static_cast<size_t>(queueHead_ - queueTail_);
            if (used == queue_.size()) break;
            at = static_cast<size_t>(queueHead_ % queue_.size());
            room = std::min(queue_.size() - used, queue_.size() - at);
            flushes = queueFlushes_;
        }
        const size_t n = device_.Read(queue_.data() + at, room);
        if (trace_ && n > 0) trace_->LogEntry("Dispatch", "ReadCom", queue_.data() + at, n);
        {
            std::lock_guard extracting(extractMutex_);
            // Bytes taken from the line while the input was flushed are flushed with it.
            if (flushes == queueFlushes_) queueHead_ += n;
        }
        total += n;
        if (n < room) break;
    }
    passRead_ += total;
    return total;
}

size_t TCxTtyDispatcher::Extract(bool readDevice) {
    const size_t got = readDevice ? ReadDevice() : 0;
    // Only the holder of extractMutex_ moves the ring's head, so copying into the ring needs
    // no input lock.
    std::lock_guard extracting(extractMutex_);
    // Driver queue to receive ring: as much as the ring takes.
    size_t free;
    {
        std::lock_guard lock(inMutex_);
        free = kInBufSize - OccupiedLocked();
    }
    size_t moved = 0;
    while (moved < free && queueTail_ < queueHead_) {
        const size_t from = static_cast<size_t>(queueTail_ % queue_.size());
        const size_t to = static_cast<size_t>((inHead_ + moved) % kInBufSize);
        const size_t n = std::min({free - moved, static_cast<size_t>(queueHead_ - queueTail_),
                                   queue_.size() - from, kInBufSize - to});
        std::memcpy(inBuf_.data() + to, queue_.data() + from, n);
        if (!hangupText_.empty() && !procHandlers_) WatchForHangup(queue_.data() + from, n);
        queueTail_ += n;
        moved += n;
    }
    queued_ = static_cast<size_t>(queueHead_ - queueTail_);
    std::lock_guard lock(inMutex_);
    inHead_ += moved;
    // A full queue is only possible behind a full ring: stop polling input until room is made.
    if (queued_ == queue_.size()) inputPaused_ = true;
    return moved + got;
}

void TCxTtyDispatcher::WatchForHangup(const uint8_t* bytes, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const uint8_t c = bytes[i];
        const bool eol = c == '\r' || c == '\n';
        if (eol && hangupMatched_ == hangupText_.size()) {
            remoteHangup_ = true;
            Kick();
        }
        if (eol) {
            atLineStart_ = true;
            hangupMatched_ = 0;
            continue;
        }
        if (atLineStart_ && hangupMatched_ < hangupText_.size() &&
            c == static_cast<uint8_t>(hangupText_[hangupMatched_])) {
            ++hangupMatched_;
            continue;
        }
        atLineStart_ = false;
        hangupMatched_ = 0;
    }
}

void TCxTtyDispatcher::MaybeResumeInputLocked(bool fromDispatch) {
    if (OccupiedLocked() == kInBufSize || (!inputPaused_ && queued_ == 0)) return;
    inputPaused_ = false;
    // During a transfer the dispatch thread reads the line itself: waking the event thread
    // would only cost a thread switch per delivery.
    if (fromDispatch && procHandlers_) return;
    // The dispatch thread moves queued input on by itself for the rest of its pass and wakes the
    // event thread at the end of it; saves a wake-up per delivery on a streaming line.
    if (fromDispatch) {
        wakeAfterPass_ = true;
    } else {
        device_.Wake();
        if (procHandlers_) device_.Wake(TSerialDevice::kDispatchWaiter);
    }
}

// ---- input ----

size_t TCxTtyDispatcher::OccupiedLocked() const {
    return static_cast<size_t>(inHead_ - std::min(inTail_, scanPos_));
}

size_t TCxTtyDispatcher::UnreadLocked() const {
    size_t used = static_cast<size_t>(inHead_ - inTail_);
    if (InAvailHandlerLocked()) return used > readAhead_ ? used - readAhead_ : 0;
    return used;
}

bool TCxTtyDispatcher::CharReady() {
    std::lock_guard lock(inMutex_);
    return UnreadLocked() > 0;
}

size_t TCxTtyDispatcher::InBuffUsed() {
    std::lock_guard lock(inMutex_);
    return UnreadLocked();
}

int TCxTtyDispatcher::GetChar(uint8_t& c) {
    return GetBlock(&c, 1);
}

int TCxTtyDispatcher::PeekChar(uint8_t& c, size_t position) {
    if (position == 0) return ecBadArgument;
    std::lock_guard lock(inMutex_);
    if (UnreadLocked() < position) return ecBufferIsEmpty;
    uint64_t from = inTail_ + (InAvailHandlerLocked() ? readAhead_ : 0) + position - 1;
    c = inBuf_[static_cast<size_t>(from % kInBufSize)];
    return 0;
}

int TCxTtyDispatcher::CopyUnreadLocked(uint8_t* buf, size_t len) const {
    if (UnreadLocked() < len) return ecBufferIsEmpty;
    uint64_t from = inTail_ + (InAvailHandlerLocked() ? readAhead_ : 0);
    for (size_t i = 0; i < len;) {
        size_t at = static_cast<size_t>((from + i) % kInBufSize);
        size_t n = std::min(len - i, kInBufSize - at);
        std::memcpy(buf + i, inBuf_.data() + at, n);
        i += n;
    }
    return 0;
}

int TCxTtyDispatcher::PeekBlock(uint8_t* buf, size_t len) {
    std::lock_guard lock(inMutex_);
    return CopyUnreadLocked(buf, len);
}

int TCxTtyDispatcher::GetBlock(uint8_t* buf, size_t len) {
    std::lock_guard lock(inMutex_);
    if (int rc = CopyUnreadLocked(buf, len); rc != 0) return rc;
    if (InAvailHandlerLocked()) {
        readAhead_ += len;
    } else {
        inTail_ += len;
        MaybeResumeInputLocked();
    }
    if (trace_) trace_->Add('R', buf, len);
    return 0;
}

int TCxTtyDispatcher::FlushInBuffer() {
    {
        std::lock_guard extracting(extractMutex_);
        device_.FlushInput();
        queueTail_ = queueHead_;
        ++queueFlushes_;
    }
    {
        std::lock_guard lock(dispMutex_);
        for (TDataTrigger& d : data_) {
            d.ClearMatches();
            d.Matched = false;
        }
        std::lock_guard ilock(inMutex_);
        if (InAvailHandlerLocked()) {
            flushedInAvail_ = true;
            flushedAt_ = inHead_;
        } else {
            inTail_ = inHead_;
        }
        scanPos_ = inHead_;
        MaybeResumeInputLocked();
    }
    return 0;
}

}  // namespace qx
