#include "modem_result.h"

#include <cctype>

namespace qx {

ModemResult ParseModemResult(const std::string& line) {
    size_t begin = 0;
    size_t end = line.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(line[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(line[end - 1]))) --end;
    std::string word;
    for (size_t i = begin; i < end; ++i) {
        word += static_cast<char>(std::toupper(static_cast<unsigned char>(line[i])));
    }
    if (word == "OK" || word == "0") return ModemResult::kOk;
    if (word.rfind("CONNECT", 0) == 0) {
        // "CONNECTED" or "CONNECTION" would be noise; a rate or suffix follows a blank or slash.
        if (word.size() == 7 || word[7] == ' ' || word[7] == '/') return ModemResult::kConnect;
        return ModemResult::kNone;
    }
    if (word == "1" || word == "5") return ModemResult::kConnect;  // 5: CONNECT 1200
    if (word == "RING" || word == "2") return ModemResult::kRing;
    if (word == "NO CARRIER" || word == "3") return ModemResult::kNoCarrier;
    if (word == "ERROR" || word == "4") return ModemResult::kError;
    if (word == "NO DIALTONE" || word == "NO DIAL TONE" || word == "6") {
        return ModemResult::kNoDialTone;
    }
    if (word == "BUSY" || word == "7") return ModemResult::kBusy;
    if (word == "NO ANSWER" || word == "8") return ModemResult::kNoAnswer;
    return ModemResult::kNone;
}

}  // namespace qx
