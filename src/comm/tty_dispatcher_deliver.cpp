// TCxTtyDispatcher, delivery: runs on the thread of the matching pass and sends main-thread
// handlers their notifications through a bounded send; avail handlers are run so that their
// reads count as read-ahead of the delivery.
#include "comm/tty_dispatcher.h"

#include <algorithm>
#include <exception>
#include <string>

#include "platform/event_loop.h"
#include "support/log.h"

namespace qx {

namespace {

// Reports an exception that escaped a handler run outside the main thread.
void ReportHandlerException(const char* what) {
    std::string text = std::string("Exception in trigger handler: ") + what;
    PostToMain([text] { Log(text, 0); });
}

}  // namespace

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
                // thread take in the next input meanwhile. A receive loop already on the main
                // thread calls the handler at once and tops the ring up itself; the wake-up
                // (a system call and a thread switch per delivery) waits for the end of its pass.
                if (!IsMainThread() && wakeAfterPass_.exchange(false)) device_.Wake();
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

}  // namespace qx
