// A dispatcher with no threads and no line: the test puts the sender's bytes in, reads what the
// receiver sent, and fires timers by hand, so each engine step can be driven exactly.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "comm/dispatcher.h"

namespace qx::test {

class MemDispatcher : public TCxDispatcher {
  public:
    std::deque<uint8_t> In;
    std::string Out;  // everything the receiver put on the line (a flush cannot take it back)
    int OutFlushes = 0;
    struct Timer {
        bool Active = false;
        int32_t Ticks = 0;
    };
    std::map<int, Timer> Timers;
    std::map<int, std::pair<int, bool>> Statuses;  // handle -> (kind, active)
    std::vector<TriggerProc> Procs;
    int Flushes = 0;
    bool Carrier = true;

    int PortNumber() const override { return 7; }
    int RegisterProcTriggerHandler(TriggerProc p) override {
        Procs.push_back(p);
        return 0;
    }
    int DeregisterProcTriggerHandler(TriggerProc p) override {
        std::erase(Procs, p);
        return 0;
    }
    int SetDataPointer(void* p, int index) override {
        if (index < 1 || index > 3) return -1002;
        data_[index - 1] = p;
        return 0;
    }
    int GetDataPointer(void*& p, int index) override {
        if (index < 1 || index > 3) return -1002;
        p = data_[index - 1];
        return 0;
    }
    int ChangeLengthTrigger(int) override { return 0; }
    int AddTimerTrigger() override {
        const int h = next_++ * 8;
        Timers[h] = {};
        return h;
    }
    int AddStatusTrigger(int kind) override {
        const int h = next_++ * 8 + kind;
        Statuses[h] = {kind, false};
        return h;
    }
    int SetTimerTrigger(int h, int32_t ticks, bool activate) override {
        auto it = Timers.find(h);
        if (it == Timers.end()) return -5003;
        if (ticks != 0) it->second.Ticks = ticks;
        it->second.Active = activate;
        return 0;
    }
    int SetStatusTrigger(int h, uint16_t, bool activate) override {
        auto it = Statuses.find(h);
        if (it == Statuses.end()) return -5003;
        it->second.second = activate;
        return 0;
    }
    int RemoveTrigger(int h) override {
        if (Timers.erase(h) + Statuses.erase(h) == 0) return -5003;
        return 0;
    }
    int TimerTicksRemaining(int h, int32_t& left) override {
        auto it = Timers.find(h);
        if (it == Timers.end()) return -5003;
        left = 0;  // timers run out only when the test fires them; reports are never held
        return 0;
    }
    int ExtendTimer(int, int32_t) override { return 0; }
    bool CharReady() override { return !In.empty(); }
    int GetChar(uint8_t& c) override {
        if (In.empty()) return -3007;
        c = In.front();
        In.pop_front();
        return 0;
    }
    int PeekChar(uint8_t& c, size_t pos) override {
        if (pos == 0 || In.size() < pos) return -3007;
        c = In[pos - 1];
        return 0;
    }
    int GetBlock(uint8_t* buf, size_t len) override {
        if (In.size() < len) return -3007;
        for (size_t i = 0; i < len; ++i) {
            buf[i] = In.front();
            In.pop_front();
        }
        return 0;
    }
    int PeekBlock(uint8_t* buf, size_t len) override {
        if (In.size() < len) return -3007;
        for (size_t i = 0; i < len; ++i) buf[i] = In[i];
        return 0;
    }
    int PutChar(uint8_t c) override { return PutBlock(&c, 1); }
    int PutBlock(const void* buf, size_t len) override {
        Out.append(static_cast<const char*>(buf), len);
        return 0;
    }
    size_t InBuffUsed() override { return In.size(); }
    size_t OutBuffUsed() override { return 0; }
    size_t OutBuffFree() override { return 20480; }
    void BufferSizes(size_t& in, size_t& out) override {
        in = 8192;
        out = 20480;
    }
    bool CheckDCD() override { return Carrier; }
    int FlushInBuffer() override {
        In.clear();
        ++Flushes;
        return 0;
    }
    int FlushOutBuffer() override {
        ++OutFlushes;
        return 0;
    }
    int SendBreak(int) override { return 0; }
    int AddDataTrigger(const char*, size_t, bool) override { return -1002; }
    int RemoveAllTriggers() override {
        Timers.clear();
        Statuses.clear();
        return 0;
    }
    uint8_t ModemStatus() override { return Carrier ? 0xB0 : 0x30; }

  private:
    void* data_[3] = {};
    int next_ = 1;
};

}  // namespace qx::test
