// An ordered list of text lines with a change notification, the data behind the window's
// lists (the log and the command queue) and the outgoing mailbox. Main thread only.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace qx {

enum class TListChange { kAdded, kDeleted, kCleared };

class TStringList {
  public:
    // Called after every change with what happened and where (kCleared: index -1).
    using ChangeHandler = std::function<void(TListChange change, int index)>;

    int Count() const { return static_cast<int>(items_.size()); }
    bool Empty() const { return items_.empty(); }
    // The line at index (0 <= index < Count()).
    const std::string& operator[](int index) const { return items_[index]; }
    const std::vector<std::string>& Items() const { return items_; }

    void Add(const std::string& text);
    // Out-of-range indexes are ignored.
    void Delete(int index);
    void Clear();

    ChangeHandler OnChange;

  private:
    void Changed(TListChange change, int index);

    std::vector<std::string> items_;
};

}  // namespace qx
