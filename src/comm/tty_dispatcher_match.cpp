// TCxTtyDispatcher, the matching pass: runs on the dispatch thread (the receive loop may run on
// the main thread in one send when every handler lives there). Tests the status, timer and
// receive triggers and hands what fired to Notify (tty_dispatcher_deliver.cpp).
#include "comm/tty_dispatcher.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "comm/cx_exception.h"
#include "comm/error_msg.h"
#include "platform/event_loop.h"

namespace qx {

void TCxTtyDispatcher::DispatchThread() {
    bool more = false;  // the last pass left input flowing: no need to wait for the event thread
    bool bulk = false;
    while (!kill_ && !closePending_) {
        bool fromEvent = false;
        const bool direct = procHandlers_;
        if (direct != bulk) TSerialDevice::SetBulkReader(bulk = direct);
        if (direct) {
            // A transfer: this thread waits on the line itself and reads it, one thread switch
            // per piece of input instead of two (the event thread then watches only for a
            // hang-up).
            bool pending;
            {
                std::lock_guard lock(evMutex_);
                pending = commEvent_ || kick_ || kill_;
            }
            // While a stream flows over a connection, every segment that arrives would wake
            // this thread, and the sender pays for each wake-up: read once a millisecond
            // instead (the threshold is above what arrives meanwhile, so the clock or the end
            // of the connection wakes this thread).
            const size_t read = passRead_.exchange(0);
            const bool streaming = read >= kStreamPiece;
            if (!pending && !more) {
                // The sender may hold its next header until what it sent is acknowledged.
                if (read > 0) device_.AcknowledgeInput();
                if (streaming) device_.SetReadBatch(kReadBatch);
                device_.WaitForEvent(!inputPaused_, streaming ? kStreamWaitMs : kDispatchWaitMs,
                                     TSerialDevice::kDispatchWaiter);
                if (streaming) device_.SetReadBatch(1);
            }
        }
        {
            std::unique_lock lock(evMutex_);
            if (!direct && !more)
                evChanged_.wait_for(lock, std::chrono::milliseconds(kDispatchWaitMs),
                                    [&] { return commEvent_ || kick_ || kill_.load(); });
            fromEvent = commEvent_;
            commEvent_ = false;
            kick_ = false;
        }
        if (kill_ || closePending_) break;
        more = DispatchPass();
        if (fromEvent) {
            std::lock_guard lock(evMutex_);
            ready_ = true;
            evChanged_.notify_all();
        }
    }
    {
        std::lock_guard lock(evMutex_);
        ready_ = true;
    }
    evChanged_.notify_all();
    ThreadEnded();
}

void TCxTtyDispatcher::Kick() {
    {
        std::lock_guard lock(evMutex_);
        kick_ = true;
    }
    WakeDispatch();
}

void TCxTtyDispatcher::WakeDispatch() {
    evChanged_.notify_all();
    if (procHandlers_) device_.Wake(TSerialDevice::kDispatchWaiter);
}

// ---- the dispatch pass ----

bool TCxTtyDispatcher::DispatchPass() {
    CheckModemStatus();
    CheckLineErrors();
    Extract(procHandlers_);
    while (!closePending_ && TestStatusTriggers()) {
    }
    // When every handler runs on the main thread, the whole receive loop runs there in one
    // send: a stream of deliveries then costs one round trip between threads, not one each.
    bool more = false;
    if (HandlersOnMainOnly()) {
        if (ReceiveWorkPending()) SendToMain([&] { more = ReceiveLoop(); }, kSendTimeoutMs);
        // A handler that added one of this thread's own (a transfer starting) ended the loop
        // there; the rest is delivered here.
        DeliverLeftOverData();
    }
    if (!closePending_ && !HandlersOnMainOnly()) more = ReceiveLoop();
    if (wakeAfterPass_.exchange(false)) device_.Wake();
    {
        std::lock_guard lock(dispMutex_);
        for (TStatusTrigger& s : status_) s.Hit = false;
    }
    for (;;) {
        if (closePending_) return false;
        bool fired = TestStatusTriggers();
        if (closePending_) return false;
        fired = TestTimerTriggers() || fired;
        if (!fired) break;
    }
    if (device_.HungUp() || remoteHangup_) {
        std::function<void()> h;
        {
            std::lock_guard lock(dispMutex_);
            if (!hangupReported_) {
                hangupReported_ = true;
                h = onHangup_;
            }
        }
        CheckModemStatus();  // the carrier is gone with the device
        while (!closePending_ && TestStatusTriggers()) {
        }
        if (h) h();
    }
    return more;
}

bool TCxTtyDispatcher::ReceiveLoop() {
    // While data keeps coming, take the next piece at once instead of going back to the event
    // thread; bounded so that timers and status triggers stay live under a steady stream.
    // Topping up the ring after each delivery makes the next one offer everything that has
    // arrived.
    loopRunning_ = true;
    struct Ended {
        TCxTtyDispatcher& d;
        ~Ended() {
            {
                std::lock_guard lock(d.evMutex_);
                d.loopRunning_ = false;
            }
            d.loopEnded_.notify_all();
        }
    } ended{*this};
    int extracts = 0;
    int waits = 0;
    bool delivered = false;
    for (;;) {
        while (!closePending_ && MayDeliverHere() && TestReceiveTriggers()) {
            delivered = true;
            if (extracts < kExtractRounds && Extract(false) > 0) ++extracts;
        }
        // The queue ran dry while input flows: rather than hand back to the event thread (two
        // thread switches before the next piece), take what the line already holds. On the
        // main thread, handing back costs three (event, dispatch and main thread): wait a
        // little for the next piece there first.
        if (closePending_ || !MayDeliverHere()) return false;
        if (extracts >= kExtractRounds) return true;  // input still flowing: come back at once
        if (Extract(false) == 0) {
            if (!delivered) return false;
            const bool got =
                Extract(true) > 0 || (IsMainThread() && waits++ < kLoopWaits &&
                                      device_.WaitReadable(kLoopWaitUs) && Extract(true) > 0);
            if (!got) return false;
        }
        ++extracts;
    }
}

bool TCxTtyDispatcher::HandlersOnMainOnly() {
    std::lock_guard lock(dispMutex_);
    if (handlers_.empty()) return false;
    for (const auto& h : handlers_)
        if (h->Type == HandlerEntry::kProc || (h->Type == HandlerEntry::kEvent && !h->InMain))
            return false;
    return true;
}

bool TCxTtyDispatcher::MayDeliverHere() {
    return !IsMainThread() || HandlersOnMainOnly();
}

bool TCxTtyDispatcher::ReceiveWorkPending() {
    std::lock_guard lock(dispMutex_);
    std::lock_guard ilock(inMutex_);
    if (scanHeld_) return queued_ > 0;
    return scanPos_ != inHead_ || queued_ > 0 ||
           (availThreshold_ > 0 && inHead_ != notifyPos_ &&
            inHead_ - inTail_ >= static_cast<uint64_t>(availThreshold_));
}

void TCxTtyDispatcher::DeliverLeftOverData() {
    std::vector<std::pair<int32_t, int>> left;
    left.swap(leftOverData_);
    for (const auto& [handle, length] : left) {
        if (closePending_) return;
        Notify(MsgTriggerData, static_cast<unsigned>(handle), LParam(length));
    }
}

void TCxTtyDispatcher::CheckModemStatus() {
    uint8_t lines = device_.ModemStatus();
    std::lock_guard lock(dispMutex_);
    uint8_t old = modemStatus_ & 0xF0;
    if (lines == old) return;
    uint8_t changed = lines ^ old;
    uint8_t deltas = modemStatus_ & 0x0F;
    if (changed & 0x10) deltas |= 0x01;
    if (changed & 0x20) deltas |= 0x02;
    if ((old & 0x40) && !(lines & 0x40)) deltas |= 0x04;  // ring trailing edge
    if (changed & 0x80) deltas |= 0x08;
    modemStatus_ = static_cast<uint8_t>(lines | deltas);
}

void TCxTtyDispatcher::CheckLineErrors() {
    SerialErrorCounts c = device_.ErrorCounts();
    std::lock_guard lock(dispMutex_);
    uint8_t flags = 0;
    if (c.Overflow != lastCounts_.Overflow) flags |= 1;
    if (c.Overrun != lastCounts_.Overrun) flags |= 2;
    if (c.Parity != lastCounts_.Parity) flags |= 4;
    if (c.Frame != lastCounts_.Frame) flags |= 8;
    if (c.Break != lastCounts_.Break) flags |= 16;
    lastCounts_ = c;
    lineErrors_ |= flags;
}

void TCxTtyDispatcher::AddLineErrors(uint8_t driverFlags) {
    {
        std::lock_guard lock(dispMutex_);
        lineErrors_ |= driverFlags;
    }
    Kick();
}

bool TCxTtyDispatcher::TestStatusTriggers() {
    int32_t handle = 0;
    uint16_t value = 0;
    {
        std::lock_guard lock(dispMutex_);
        size_t outUsed, outFree;
        {
            std::lock_guard olock(outMutex_);
            outUsed = static_cast<size_t>(outHead_ - outTail_);
            outFree = outBuf_.size() - outUsed;
        }
        for (TStatusTrigger& s : status_) {
            if (!s.Active || s.Hit) continue;
            bool fire = false;
            switch (s.Kind) {
                case stModem:
                    fire = ((modemStatus_ & s.Value) & 0xF0) != s.Stored;
                    value = 0;
                    break;
                case stLine:
                    if (lineErrors_ & s.Value) {
                        fire = true;
                        s.Value = lineErrors_ & s.Value;
                    }
                    value = 0;
                    break;
                case stOutFree:
                    fire = outFree >= s.Value;
                    value = static_cast<uint16_t>(std::min<size_t>(outFree, 0xFFFF));
                    break;
                case stOutUsed:
                    fire = outUsed <= s.Value;
                    value = static_cast<uint16_t>(std::min<size_t>(outUsed, 0xFFFF));
                    break;
                case stOutSent:
                    fire = outputSent_;
                    if (fire) outputSent_ = false;
                    value = 0;
                    break;
                default:
                    break;
            }
            if (fire) {
                s.Active = false;
                s.Hit = true;
                handle = s.Handle;
                break;
            }
        }
    }
    if (handle == 0) return false;
    Notify(MsgTriggerStatus, static_cast<unsigned>(handle), LParam(value));
    return true;
}

bool TCxTtyDispatcher::TestTimerTriggers() {
    int32_t handle = 0;
    {
        std::lock_guard lock(dispMutex_);
        uint32_t now = TickCount();
        for (TTimerTrigger& t : timers_) {
            if (t.Active && TimerExpired(t.Timer, now)) {
                t.Active = false;
                handle = t.Handle;
                break;
            }
        }
    }
    if (handle == 0) return false;
    Notify(MsgTriggerTimer, static_cast<unsigned>(handle), LParam(0));
    return true;
}

bool TCxTtyDispatcher::TestReceiveTriggers() {
    // Walk the unseen bytes; the data triggers advance on each.
    std::vector<std::pair<int32_t, int>> matched;  // handle, length; newest first
    size_t availBefore = 0;
    uint64_t availTail = 0;
    bool deliverAvail = false;
    {
        std::lock_guard lock(dispMutex_);
        std::lock_guard ilock(inMutex_);
        if (scanHeld_) return false;
        // Bytes that can start a match; while no trigger has a match under way, every other
        // byte is passed over without touching the triggers.
        std::array<bool, 256> starts{};
        for (const TDataTrigger& d : data_) {
            if (d.Length == 0) continue;
            starts[d.Pattern[0]] = true;
            if (d.IgnoreCase) starts[static_cast<uint8_t>(std::tolower(d.Pattern[0]))] = true;
        }
        auto allIdle = [&] {
            for (const TDataTrigger& d : data_)
                if (d.Busy != 0 || d.Matched) return false;
            return true;
        };
        // Up to two distinct start bytes are searched for with memchr, more with the table.
        uint8_t startList[2] = {};
        int startCount = 0;
        for (int b = 0; b < 256; ++b) {
            if (!starts[static_cast<size_t>(b)]) continue;
            if (startCount < 2) startList[startCount] = static_cast<uint8_t>(b);
            ++startCount;
        }
        // The position of the first byte in [from, to) that can start a match, or to.
        auto nextStart = [&](uint64_t from, uint64_t to) {
            while (from < to) {
                const size_t at = static_cast<size_t>(from % kInBufSize);
                const size_t n =
                    static_cast<size_t>(std::min<uint64_t>(to - from, kInBufSize - at));
                const uint8_t* seg = inBuf_.data() + at;
                size_t found = n;
                if (startCount == 0) {
                } else if (startCount <= 2) {
                    for (int k = 0; k < startCount; ++k) {
                        const void* hit = std::memchr(seg, startList[k], found);
                        if (hit != nullptr)
                            found = static_cast<size_t>(static_cast<const uint8_t*>(hit) - seg);
                    }
                } else {
                    for (size_t i = 0; i < n; ++i) {
                        if (starts[seg[i]]) {
                            found = i;
                            break;
                        }
                    }
                }
                if (found < n) return from + found;
                from += n;
            }
            return to;
        };
        bool idle = allIdle();
        while (scanPos_ < inHead_) {
            if (idle) {
                scanPos_ = nextStart(scanPos_, inHead_);
                if (scanPos_ == inHead_) break;
            }
            uint8_t byte = inBuf_[static_cast<size_t>(scanPos_ % kInBufSize)];
            ++scanPos_;
            if (idle && !starts[byte]) continue;
            bool any = false;
            for (TDataTrigger& d : data_) any = d.Advance(byte) || any;
            idle = allIdle();
            if (!any) continue;
            int longest = 0;
            for (auto it = data_.rbegin(); it != data_.rend(); ++it) {
                if (!it->Matched) continue;
                it->Matched = false;
                matched.emplace_back(it->Handle, it->Length);
                longest = std::max(longest, it->Length);
            }
            // A handler may have read past the scan position: then nothing is unread before it.
            size_t unread = scanPos_ > inTail_ ? static_cast<size_t>(scanPos_ - inTail_) : 0;
            if (availThreshold_ > 0 && inHead_ != notifyPos_ &&
                unread >= static_cast<size_t>(longest) &&
                unread - static_cast<size_t>(longest) >= static_cast<size_t>(availThreshold_)) {
                deliverAvail = true;
                availBefore = unread - static_cast<size_t>(longest);
                availTail = inTail_;
            }
            break;
        }
        MaybeResumeInputLocked(true);  // scanned bytes may have been the last ones holding room
        if (matched.empty()) {
            size_t unread = static_cast<size_t>(inHead_ - inTail_);
            if (availThreshold_ > 0 && inHead_ != notifyPos_ &&
                unread >= static_cast<size_t>(availThreshold_)) {
                notifyPos_ = inHead_;
                deliverAvail = true;
                availBefore = unread;
                availTail = inTail_;
            }
        }
    }
    if (matched.empty()) {
        if (!deliverAvail) return false;
        return DeliverAvail(availBefore, availTail);
    }
    if (deliverAvail) DeliverAvail(availBefore, availTail);
    for (size_t i = 0; i < matched.size(); ++i) {
        if (closePending_) return false;
        if (!MayDeliverHere()) {
            leftOverData_.assign(matched.begin() + static_cast<std::ptrdiff_t>(i), matched.end());
            return false;
        }
        Notify(MsgTriggerData, static_cast<unsigned>(matched[i].first), LParam(matched[i].second));
    }
    return !closePending_;
}

}  // namespace qx
