#include "string_list.h"

namespace qx {

void TStringList::Add(const std::string& text) {
    items_.push_back(text);
    Changed(TListChange::kAdded, Count() - 1);
}

void TStringList::Delete(int index) {
    if (index < 0 || index >= Count()) return;
    items_.erase(items_.begin() + index);
    Changed(TListChange::kDeleted, index);
}

void TStringList::Clear() {
    if (items_.empty()) return;
    items_.clear();
    Changed(TListChange::kCleared, -1);
}

void TStringList::Changed(TListChange change, int index) {
    if (OnChange) OnChange(change, index);
}

}  // namespace qx
