// TCxTtyDispatcher, output: any thread fills the output ring (PutBlock); the output thread
// drains it into the descriptor.
#include "comm/tty_dispatcher.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "comm/cx_exception.h"
#include "comm/error_msg.h"

namespace qx {

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
    ThreadEnded(true);
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
    if (trace_) {
        trace_->Add('T', static_cast<const uint8_t*>(buf), len);
        trace_->LogEntry("Dispatch", "WriteCom", static_cast<const uint8_t*>(buf), len);
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

uint64_t TCxTtyDispatcher::OutputQueued() {
    std::lock_guard lock(outMutex_);
    return outHead_;
}

size_t TCxTtyDispatcher::OutBuffFree() {
    std::lock_guard lock(outMutex_);
    return outBuf_.size() - static_cast<size_t>(outHead_ - outTail_);
}

void TCxTtyDispatcher::BufferSizes(size_t& inSize, size_t& outSize) {
    inSize = queueSize_;
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

bool TCxTtyDispatcher::DrainOutput(int timeoutMs) {
    std::unique_lock lock(outMutex_);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    // The output thread signals no progress; short naps keep this simple and bounded.
    while (outHead_ != outTail_ && ioThreadsRunning_ > 0) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        lock.lock();
    }
    return outHead_ == outTail_;
}

int TCxTtyDispatcher::SendBreak(int milliseconds) {
    return device_.SendBreak(milliseconds);
}

}  // namespace qx
