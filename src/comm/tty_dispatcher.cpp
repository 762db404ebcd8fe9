#include "comm/tty_dispatcher.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <stdexcept>

#include "comm/cx_exception.h"
#include "comm/error_msg.h"
#include "platform/event_loop.h"
#include "support/log.h"

namespace qx {

namespace {

// The process-wide port list: a dispatcher's index is its port number.
std::mutex g_portListMutex;
std::vector<TCxTtyDispatcher*> g_portList;

int AddToPortList(TCxTtyDispatcher* d) {
    std::lock_guard lock(g_portListMutex);
    for (size_t i = 0; i < g_portList.size(); ++i) {
        if (g_portList[i] == nullptr) {
            g_portList[i] = d;
            return static_cast<int>(i);
        }
    }
    g_portList.push_back(d);
    return static_cast<int>(g_portList.size() - 1);
}

void RemoveFromPortList(TCxTtyDispatcher* d) {
    std::lock_guard lock(g_portListMutex);
    for (auto& p : g_portList)
        if (p == d) p = nullptr;
    while (!g_portList.empty() && g_portList.back() == nullptr) g_portList.pop_back();
}

// Reports an exception that escaped a handler run outside the main thread.
void ReportHandlerException(const char* what) {
    std::string text = std::string("Exception in trigger handler: ") + what;
    PostToMain([text] { Log(text, 0); });
}

}  // namespace

TCxDispatcher* FindDispatcher(int portNumber) {
    std::lock_guard lock(g_portListMutex);
    if (portNumber < 0 || static_cast<size_t>(portNumber) >= g_portList.size()) return nullptr;
    return g_portList[static_cast<size_t>(portNumber)];
}

TCxTtyDispatcher::TCxTtyDispatcher(size_t outSize)
    : queue_(kDefaultQueueSize), inBuf_(kInBufSize), outBuf_(std::max<size_t>(outSize, 1)) {
    portNumber_ = AddToPortList(this);
}

TCxTtyDispatcher::~TCxTtyDispatcher() {
    RequestStop();
    WaitThreads(-1);
    CloseDevice();
    RemoveFromPortList(this);
}

int TCxTtyDispatcher::OpenDevice(int readFd, int writeFd) {
    int r = device_.Attach(readFd, writeFd);
    if (r != 0) return r;
    std::lock_guard lock(dispMutex_);
    modemStatus_ = device_.ModemStatus();
    lastCounts_ = device_.ErrorCounts();
    return 0;
}

void TCxTtyDispatcher::CloseDevice() {
    device_.Detach();
}

void TCxTtyDispatcher::StartThreads() {
    if (started_) throw std::logic_error("Dispatcher already started");
    started_ = true;
    kill_ = false;
    threadsRunning_ = 3;
    eventThread_ = std::thread([this] { EventThread(); });
    dispatchThread_ = std::thread([this] { DispatchThread(); });
    outputThread_ = std::thread([this] { OutputThread(); });
}

void TCxTtyDispatcher::RequestStop() {
    kill_ = true;
    device_.Wake();
    {
        std::lock_guard lock(evMutex_);
        kick_ = true;
    }
    evChanged_.notify_all();
    {
        std::lock_guard lock(outMutex_);
        outReady_ = true;
    }
    outChanged_.notify_all();
}

bool TCxTtyDispatcher::WaitThreads(int timeoutMs) {
    {
        std::unique_lock lock(endMutex_);
        auto done = [&] { return threadsRunning_.load() == 0; };
        if (timeoutMs < 0)
            ended_.wait(lock, done);
        else if (!ended_.wait_for(lock, std::chrono::milliseconds(timeoutMs), done))
            return false;
    }
    for (std::thread* t : {&eventThread_, &dispatchThread_, &outputThread_})
        if (t->joinable()) t->join();
    return true;
}

void TCxTtyDispatcher::ThreadEnded() {
    std::lock_guard lock(endMutex_);
    if (--threadsRunning_ == 0) ended_.notify_all();
}

// ---- threads ----

void TCxTtyDispatcher::EventThread() {
    bool emptyRead = false;  // the last read after a readiness found nothing
    while (!kill_) {
        SerialEvents ev = device_.WaitForEvent(!inputPaused_, -1);
        if (kill_) break;
        // Reading here lets the next piece of input arrive while the dispatch thread delivers
        // the previous one; the read also consumes the level-triggered readiness.
        // A wake-up with input waiting in the driver queue means the ring has room for it.
        const size_t got = ev.Readable || queued_ > 0 ? Extract(true) : 0;
        if (!ev.Readable && !ev.HangUp && got == 0) continue;  // only woken: poll again
        std::unique_lock lock(evMutex_);
        commEvent_ = true;
        evChanged_.notify_all();
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
    ThreadEnded();
}

void TCxTtyDispatcher::DispatchThread() {
    while (!kill_ && !closePending_) {
        bool fromEvent = false;
        {
            std::unique_lock lock(evMutex_);
            evChanged_.wait_for(lock, std::chrono::milliseconds(kDispatchWaitMs),
                                [&] { return commEvent_ || kick_ || kill_.load(); });
            fromEvent = commEvent_;
            commEvent_ = false;
            kick_ = false;
        }
        if (kill_ || closePending_) break;
        DispatchPass();
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

void TCxTtyDispatcher::OutputThread() {
    TSerialDevice::PrepareWriterThread();
    while (!kill_) {
        uint64_t gen;
        size_t chunk;
        size_t at;
        {
            std::unique_lock lock(outMutex_);
            outChanged_.wait(lock,
                             [&] { return outReady_ || outHead_ != outTail_ || kill_.load(); });
            outReady_ = false;
            if (kill_) break;
            if (outHead_ == outTail_) continue;
            gen = outGeneration_;
            at = static_cast<size_t>(outTail_ % outBuf_.size());
            chunk = std::min(static_cast<size_t>(outHead_ - outTail_), outBuf_.size() - at);
        }
        // The bytes [tail, tail + chunk) are not touched by PutBlock, which only fills free
        // space, so they are written without the lock.
        if (!device_.WaitWritable(kDispatchWaitMs)) continue;
        ssize_t n = device_.Write(outBuf_.data() + at, chunk);
        if (n == 0) continue;
        // A failed write counts as written, so a dead line never stalls the output.
        size_t done = n < 0 ? chunk : static_cast<size_t>(n);
        {
            std::lock_guard lock(outMutex_);
            if (gen == outGeneration_) outTail_ += done;
        }
        Kick();  // output-free and output-used triggers may fire now
    }
    ThreadEnded();
}

void TCxTtyDispatcher::Kick() {
    {
        std::lock_guard lock(evMutex_);
        kick_ = true;
    }
    evChanged_.notify_all();
}

// ---- the dispatch pass ----

void TCxTtyDispatcher::DispatchPass() {
    CheckModemStatus();
    CheckLineErrors();
    Extract(false);
    while (!closePending_ && TestStatusTriggers()) {
    }
    // When every handler runs on the main thread, the whole receive loop runs there in one
    // send: a stream of deliveries then costs one round trip between threads, not one each.
    if (HandlersOnMainOnly()) {
        if (ReceiveWorkPending()) SendToMain([this] { ReceiveLoop(); }, kSendTimeoutMs);
        // A handler that added one of this thread's own (a transfer starting) ended the loop
        // there; the rest is delivered here.
        DeliverLeftOverData();
    }
    if (!closePending_ && !HandlersOnMainOnly()) ReceiveLoop();
    if (wakeAfterPass_.exchange(false)) device_.Wake();
    {
        std::lock_guard lock(dispMutex_);
        for (TStatusTrigger& s : status_) s.Hit = false;
    }
    for (;;) {
        if (closePending_) return;
        bool fired = TestStatusTriggers();
        if (closePending_) return;
        fired = TestTimerTriggers() || fired;
        if (!fired) break;
    }
    if (device_.HungUp()) {
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
}

void TCxTtyDispatcher::ReceiveLoop() {
    // While data keeps coming, take the next piece at once instead of going back to the event
    // thread; bounded so that timers and status triggers stay live under a steady stream.
    // Topping up the ring after each delivery makes the next one offer everything that has
    // arrived.
    int extracts = 0;
    for (;;) {
        while (!closePending_ && MayDeliverHere() && TestReceiveTriggers()) {
            if (extracts < kExtractRounds && Extract(false) > 0) ++extracts;
        }
        if (closePending_ || !MayDeliverHere() || extracts >= kExtractRounds || Extract(false) == 0)
            break;
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

size_t TCxTtyDispatcher::ReadDevice() {
    // Only the event thread reads the device and moves the queue's head; the others only move
    // its tail, which frees room. The free part is therefore filled without the lock, and the
    // dispatch thread tops the ring up from the queue meanwhile: a read that finds the line's
    // buffer empty waits for the kernel to move pending input, and nobody should wait for that.
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
        {
            std::lock_guard extracting(extractMutex_);
            // Bytes taken from the line while the input was flushed are flushed with it.
            if (flushes == queueFlushes_) queueHead_ += n;
        }
        total += n;
        if (n < room) break;
    }
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

void TCxTtyDispatcher::MaybeResumeInputLocked(bool fromDispatch) {
    if (OccupiedLocked() == kInBufSize || (!inputPaused_ && queued_ == 0)) return;
    inputPaused_ = false;
    // The dispatch thread moves queued input on by itself for the rest of its pass and wakes the
    // event thread at the end of it; saves a wake-up per delivery on a streaming line.
    if (fromDispatch)
        wakeAfterPass_ = true;
    else
        device_.Wake();
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

bool TCxTtyDispatcher::DeliverAvail(size_t count, uint64_t tail) {
    {
        std::lock_guard lock(inMutex_);
        availInProgress_ = true;
        availTail_ = tail;
        readAhead_ = maxReadAhead_ = 0;
        flushedInAvail_ = false;
        flushedAt_ = 0;
    }
    bool ok = Notify(MsgTriggerAvail, static_cast<unsigned>(count), LParam(0));
    std::lock_guard lock(inMutex_);
    maxReadAhead_ = std::max(maxReadAhead_, readAhead_);
    inTail_ += std::min<uint64_t>(maxReadAhead_, inHead_ - inTail_);
    // Discard what was unread at the flush, not what arrived during the delivery since.
    if (flushedInAvail_) inTail_ = std::max(inTail_, flushedAt_);
    availInProgress_ = false;
    readAhead_ = maxReadAhead_ = 0;
    MaybeResumeInputLocked(true);
    // Bytes taken outside the handlers while the delivery was out count as taken.
    return ok && inTail_ - tail >= count;
}

bool TCxTtyDispatcher::InAvailHandlerLocked() const {
    return availInProgress_ && availThread_ == std::this_thread::get_id();
}

void TCxTtyDispatcher::RunAvailHandler(const Handler& fn, unsigned count, int32_t lParam) {
    unsigned n;
    {
        std::lock_guard lock(inMutex_);
        // A main-thread handler runs some time after the count was taken; what was read outside
        // the handlers meanwhile is no longer there to offer.
        const uint64_t gone = inTail_ - availTail_;
        n = count > gone ? static_cast<unsigned>(count - gone) : 0;
        if (n == 0) return;  // the read-ahead of a skipped handler is 0
        readAhead_ = 0;
        availThread_ = std::this_thread::get_id();
    }
    struct Done {
        TCxTtyDispatcher& d;
        ~Done() {
            std::lock_guard lock(d.inMutex_);
            d.maxReadAhead_ = std::max(d.maxReadAhead_, d.readAhead_);
            d.readAhead_ = 0;
            d.availThread_ = {};
        }
    } done{*this};
    fn(MsgTriggerAvail, n, lParam);
}

bool TCxTtyDispatcher::Notify(unsigned msg, unsigned wParam, int32_t lParam) {
    std::vector<std::shared_ptr<HandlerEntry>> list;
    {
        std::lock_guard lock(dispMutex_);
        if (handlers_.empty()) return msg != MsgTriggerAvail;
        notifying_ = true;
        list = handlers_;
    }
    // Event handlers, then procedures, then window handlers.
    for (int pass = 0; pass < 3 && !closePending_; ++pass) {
        const HandlerEntry::Kind want = pass == 0   ? HandlerEntry::kEvent
                                        : pass == 1 ? HandlerEntry::kProc
                                                    : HandlerEntry::kWindow;
        for (const auto& h : list) {
            if (closePending_) break;
            if (h->Type != want || h->Removed) continue;
            if (h->Type == HandlerEntry::kWindow ||
                (h->Type == HandlerEntry::kEvent && h->InMain)) {
                // The read-ahead of a skipped handler is 0, as if it had run and read nothing.
                if (h->Wants && !h->Wants(msg, wParam)) continue;
                // This thread cannot read while it waits for the main thread: let the event
                // thread take in the next input meanwhile.
                if (wakeAfterPass_.exchange(false)) device_.Wake();
                const Handler& fn = h->Fn;  // the entry is kept alive by list
                SendToMain(
                    [this, &fn, msg, wParam, lParam] {
                        if (msg == MsgTriggerAvail)
                            RunAvailHandler(fn, wParam, lParam);
                        else
                            fn(msg, wParam, lParam);
                    },
                    kSendTimeoutMs);
                continue;
            }
            try {
                if (h->Type == HandlerEntry::kProc && msg == MsgTriggerAvail)
                    RunAvailHandler(Handler(h->Proc), wParam, lParam);
                else if (h->Type == HandlerEntry::kProc)
                    h->Proc(msg, wParam, lParam);
                else if (msg == MsgTriggerAvail)
                    RunAvailHandler(h->Fn, wParam, lParam);
                else
                    h->Fn(msg, wParam, lParam);
            } catch (const std::exception& e) {
                ReportHandlerException(e.what());
            } catch (...) {
                ReportHandlerException("unknown exception");
            }
        }
    }
    {
        std::lock_guard lock(dispMutex_);
        notifying_ = false;
    }
    return !closePending_;
}

// ---- handlers ----

int TCxTtyDispatcher::RegisterWindowHandler(Handler h, WantsFilter wants) {
    auto e = std::make_shared<HandlerEntry>();
    e->Type = HandlerEntry::kWindow;
    e->Fn = std::move(h);
    e->Wants = std::move(wants);
    std::lock_guard lock(dispMutex_);
    e->Id = nextHandlerId_++;
    handlers_.push_back(e);
    return e->Id;
}

int TCxTtyDispatcher::RegisterEventHandler(Handler h, bool inMain) {
    auto e = std::make_shared<HandlerEntry>();
    e->Type = HandlerEntry::kEvent;
    e->Fn = std::move(h);
    e->InMain = inMain;
    std::lock_guard lock(dispMutex_);
    e->Id = nextHandlerId_++;
    handlers_.push_back(e);
    return e->Id;
}

void TCxTtyDispatcher::DeregisterHandler(int id) {
    std::lock_guard lock(dispMutex_);
    // A delivery under way holds its own copy of the list; the mark makes it skip the entry.
    for (auto it = handlers_.begin(); it != handlers_.end(); ++it) {
        if ((*it)->Id == id) {
            (*it)->Removed = true;
            handlers_.erase(it);
            return;
        }
    }
}

int TCxTtyDispatcher::RegisterProcTriggerHandler(TriggerProc proc) {
    if (proc == nullptr) return ecBadArgument;
    auto e = std::make_shared<HandlerEntry>();
    e->Type = HandlerEntry::kProc;
    e->Proc = proc;
    std::lock_guard lock(dispMutex_);
    e->Id = nextHandlerId_++;
    handlers_.push_back(e);
    return 0;
}

int TCxTtyDispatcher::DeregisterProcTriggerHandler(TriggerProc proc) {
    std::lock_guard lock(dispMutex_);
    for (auto it = handlers_.begin(); it != handlers_.end(); ++it) {
        if ((*it)->Type == HandlerEntry::kProc && (*it)->Proc == proc) {
            (*it)->Removed = true;
            handlers_.erase(it);
            return 0;
        }
    }
    return 0;
}

bool TCxTtyDispatcher::NotificationInProgress() {
    std::lock_guard lock(dispMutex_);
    return notifying_;
}

void TCxTtyDispatcher::SetClosePending() {
    closePending_ = true;
    Kick();
}

void TCxTtyDispatcher::SetHangupHandler(std::function<void()> h) {
    std::lock_guard lock(dispMutex_);
    onHangup_ = std::move(h);
}

int TCxTtyDispatcher::SetDataPointer(void* p, int index) {
    if (index < 1 || index > 3) return ecBadArgument;
    std::lock_guard lock(dispMutex_);
    dataPointers_[static_cast<size_t>(index - 1)] = p;
    return 0;
}

int TCxTtyDispatcher::GetDataPointer(void*& p, int index) {
    if (index < 1 || index > 3) return ecBadArgument;
    std::lock_guard lock(dispMutex_);
    p = dataPointers_[static_cast<size_t>(index - 1)];
    return 0;
}

// ---- triggers ----

bool TCxTtyDispatcher::HandleInUseLocked(int32_t base) const {
    for (const auto& t : timers_)
        if (t.Handle == base) return true;
    for (const auto& d : data_)
        if (d.Handle == base) return true;
    for (const auto& s : status_)
        if ((s.Handle & ~7) == base) return true;
    return false;
}

int TCxTtyDispatcher::NewHandleLocked() {
    if (handleCounter_ < 4096) return handleCounter_++ * 8;
    for (int32_t h = 8; h <= 4095 * 8; h += 8)
        if (!HandleInUseLocked(h)) return h;
    return ecNoMoreTriggers;
}

TTimerTrigger* TCxTtyDispatcher::FindTimerLocked(int handle) {
    for (auto& t : timers_)
        if (t.Handle == handle) return &t;
    return nullptr;
}

TStatusTrigger* TCxTtyDispatcher::FindStatusLocked(int handle) {
    for (auto& s : status_)
        if (s.Handle == handle) return &s;
    return nullptr;
}

int TCxTtyDispatcher::AddDataTrigger(const char* pattern, size_t length, bool ignoreCase) {
    if (length > static_cast<size_t>(kMaxTriggerLen)) return ecTriggerTooLong;
    TDataTrigger d;
    d.SetPattern(std::string(pattern, length), ignoreCase);
    std::lock_guard lock(dispMutex_);
    int h = NewHandleLocked();
    if (h < 0) return h;
    d.Handle = h;
    data_.push_back(d);
    return h;
}

int TCxTtyDispatcher::AddTimerTrigger() {
    std::lock_guard lock(dispMutex_);
    int h = NewHandleLocked();
    if (h < 0) return h;
    TTimerTrigger t;
    t.Handle = h;
    timers_.push_back(t);
    return h;
}

int TCxTtyDispatcher::AddStatusTrigger(int kind) {
    if (kind < 1 || kind > 5) return ecBadArgument;
    std::lock_guard lock(dispMutex_);
    int h = NewHandleLocked();
    if (h < 0) return h;
    TStatusTrigger s;
    s.Handle = h + kind;
    s.Kind = kind;
    status_.push_back(s);
    return s.Handle;
}

int TCxTtyDispatcher::SetTimerTrigger(int handle, int32_t ticks, bool activate) {
    {
        std::lock_guard lock(dispMutex_);
        TTimerTrigger* t = FindTimerLocked(handle);
        if (t == nullptr) return ecBadTriggerHandle;
        if (!activate) {
            t->Active = false;
            return 0;
        }
        if (ticks != 0) t->Ticks = ticks;
        t->Timer = NewTimer(t->Ticks, TickCount());
        t->Active = true;
    }
    return 0;
}

int TCxTtyDispatcher::SetStatusTrigger(int handle, uint16_t value, bool activate) {
    {
        std::lock_guard lock(dispMutex_);
        TStatusTrigger* s = FindStatusLocked(handle);
        if (s == nullptr) return ecBadTriggerHandle;
        if (!activate) {
            s->Active = false;
            return 0;
        }
        switch (s->Kind) {
            case stModem:
                s->Value = value & 0xF0;
                s->Stored = modemStatus_ & s->Value;
                break;
            case stLine:
                s->Value = static_cast<uint16_t>((value & 0x0F) << 1);
                break;
            default:
                s->Value = value;
                break;
        }
        s->Active = true;
    }
    Kick();
    return 0;
}

int TCxTtyDispatcher::RemoveTrigger(int handle) {
    std::lock_guard lock(dispMutex_);
    if (handle == kAvailTriggerHandle) {
        availThreshold_ = 0;
        return 0;
    }
    auto drop = [handle](auto& list) {
        for (auto it = list.begin(); it != list.end(); ++it) {
            if (it->Handle == handle) {
                list.erase(it);
                return true;
            }
        }
        return false;
    };
    if (drop(timers_) || drop(status_) || drop(data_)) return 0;
    return ecBadTriggerHandle;
}

int TCxTtyDispatcher::RemoveAllTriggers() {
    std::lock_guard lock(dispMutex_);
    timers_.clear();
    data_.clear();
    status_.clear();
    handleCounter_ = 1;
    availThreshold_ = 0;
    return 0;
}

int TCxTtyDispatcher::ChangeLengthTrigger(int length) {
    if (length < 0) return ecBadArgument;
    {
        std::lock_guard lock(dispMutex_);
        availThreshold_ = length;
    }
    Kick();
    return 0;
}

int TCxTtyDispatcher::AvailThreshold() {
    std::lock_guard lock(dispMutex_);
    return availThreshold_;
}

int TCxTtyDispatcher::TimerTicksRemaining(int handle, int32_t& ticksLeft) {
    std::lock_guard lock(dispMutex_);
    TTimerTrigger* t = FindTimerLocked(handle);
    if (t == nullptr) return ecBadTriggerHandle;
    ticksLeft = t->Active ? TimerRemaining(t->Timer, TickCount()) : 0;
    return 0;
}

int TCxTtyDispatcher::ExtendTimer(int handle, int32_t ticks) {
    std::lock_guard lock(dispMutex_);
    TTimerTrigger* t = FindTimerLocked(handle);
    if (t == nullptr) return ecBadTriggerHandle;
    qx::ExtendTimer(t->Timer, ticks);
    return 0;
}

void TCxTtyDispatcher::SaveTriggers(TSavedTriggers& saved) {
    std::lock_guard lock(dispMutex_);
    saved.Valid = true;
    saved.AvailThreshold = availThreshold_;
    saved.Timers = timers_;
    saved.Data = data_;
    saved.Status = status_;
}

void TCxTtyDispatcher::RestoreTriggers(const TSavedTriggers& saved) {
    if (!saved.Valid) return;
    std::lock_guard lock(dispMutex_);
    availThreshold_ = saved.AvailThreshold;
    timers_ = saved.Timers;
    data_ = saved.Data;
    status_ = saved.Status;
}

int TCxTtyDispatcher::LineError() {
    std::lock_guard lock(dispMutex_);
    int r = 0;
    if (lineErrors_ & 1)
        r = 1;
    else if (lineErrors_ & 2)
        r = 2;
    else if (lineErrors_ & 4)
        r = 3;
    else if (lineErrors_ & 8)
        r = 4;
    else if (lineErrors_ & 16)
        r = 9;
    lineErrors_ &= 16;
    return r;
}

bool TCxTtyDispatcher::LineBreak() {
    std::lock_guard lock(dispMutex_);
    bool r = (lineErrors_ & 16) != 0;
    lineErrors_ &= static_cast<uint8_t>(~16);
    return r;
}

uint8_t TCxTtyDispatcher::ModemStatus() {
    std::lock_guard lock(dispMutex_);
    return modemStatus_;
}

bool TCxTtyDispatcher::CheckDCD() {
    return (ModemStatus() & 0x80) != 0;
}

void TCxTtyDispatcher::SetDtr(bool on) {
    device_.SetDtr(on);
}
void TCxTtyDispatcher::SetRts(bool on) {
    device_.SetRts(on);
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

int TCxTtyDispatcher::PeekBlock(uint8_t* buf, size_t len) {
    std::lock_guard lock(inMutex_);
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

int TCxTtyDispatcher::GetBlock(uint8_t* buf, size_t len) {
    std::lock_guard lock(inMutex_);
    if (UnreadLocked() < len) return ecBufferIsEmpty;
    uint64_t from = inTail_ + (InAvailHandlerLocked() ? readAhead_ : 0);
    for (size_t i = 0; i < len;) {
        size_t at = static_cast<size_t>((from + i) % kInBufSize);
        size_t n = std::min(len - i, kInBufSize - at);
        std::memcpy(buf + i, inBuf_.data() + at, n);
        i += n;
    }
    if (InAvailHandlerLocked()) {
        readAhead_ += len;
    } else {
        inTail_ += len;
        MaybeResumeInputLocked();
    }
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

// ---- output ----

int TCxTtyDispatcher::PutChar(uint8_t c) {
    return PutBlock(&c, 1);
}

int TCxTtyDispatcher::PutBlock(const void* buf, size_t len) {
    if (len == 0) return 0;
    {
        std::lock_guard lock(outMutex_);
        size_t used = static_cast<size_t>(outHead_ - outTail_);
        if (outBuf_.size() - used < len) return ecOutputBufferTooSmall;
        const uint8_t* p = static_cast<const uint8_t*>(buf);
        for (size_t i = 0; i < len;) {
            size_t at = static_cast<size_t>((outHead_ + i) % outBuf_.size());
            size_t n = std::min(len - i, outBuf_.size() - at);
            std::memcpy(outBuf_.data() + at, p + i, n);
            i += n;
        }
        outHead_ += len;
        outReady_ = true;
    }
    outChanged_.notify_all();
    {
        std::lock_guard lock(dispMutex_);
        outputSent_ = true;
    }
    Kick();
    return 0;
}

size_t TCxTtyDispatcher::OutBuffUsed() {
    std::lock_guard lock(outMutex_);
    return static_cast<size_t>(outHead_ - outTail_);
}

size_t TCxTtyDispatcher::OutBuffFree() {
    std::lock_guard lock(outMutex_);
    return outBuf_.size() - static_cast<size_t>(outHead_ - outTail_);
}

void TCxTtyDispatcher::BufferSizes(size_t& inSize, size_t& outSize) {
    inSize = queue_.size();
    outSize = outBuf_.size();
}

int TCxTtyDispatcher::FlushOutBuffer() {
    {
        std::lock_guard lock(outMutex_);
        outTail_ = outHead_;
        ++outGeneration_;
    }
    device_.FlushOutput();
    Kick();
    return 0;
}

int TCxTtyDispatcher::SendBreak(int milliseconds) {
    return device_.SendBreak(milliseconds);
}

}  // namespace qx
