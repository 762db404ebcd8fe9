#include "get_param.h"

namespace qx {

namespace {

// Index just past the token starting at pos.
size_t TokenEnd(const std::string& line, size_t pos) {
    if (line[pos] == '"') {
        const size_t close = line.find('"', pos + 1);
        return close == std::string::npos ? line.size() : close + 1;
    }
    const size_t space = line.find(' ', pos);
    return space == std::string::npos ? line.size() : space;
}

size_t SkipSpaces(const std::string& line, size_t pos) {
    while (pos < line.size() && line[pos] == ' ') ++pos;
    return pos;
}

}  // namespace

std::string GetParam(const std::string& line, int n) {
    if (n < 1) return {};
    size_t pos = SkipSpaces(line, 0);
    for (int i = 1; i < n && pos < line.size(); ++i) pos = SkipSpaces(line, TokenEnd(line, pos));
    if (pos >= line.size()) return {};
    std::string token = line.substr(pos, TokenEnd(line, pos) - pos);
    if (token[0] == '"') {
        token.erase(0, 1);
        if (!token.empty() && token.back() == '"') token.pop_back();
    }
    return token;
}

}  // namespace qx
