// A read-only Qt list model over a list that lives elsewhere (the log lines, the command queue).
//
// The model copies nothing: it asks the source for the count and the lines the view needs. The
// owner of the list calls Changed() from the list's change notice; the view then re-reads only
// the rows it shows. Main thread only, like the lists themselves.
#pragma once

#include <QAbstractListModel>

#include <functional>
#include <string>

namespace qx {

class TStringList;

struct TListSource {
    std::function<int()> Count;
    std::function<std::string(int)> Line;
    std::function<void()> Clear;  // empties the list (the log's Clear menu item); may be unset
};

// Reads (and clears) a TStringList; the list must outlive the model bound to it.
TListSource ListSourceOf(TStringList& list);

class TListMirrorModel : public QAbstractListModel {
  public:
    explicit TListMirrorModel(QObject* parent = nullptr);

    void Bind(TListSource source);
    void Changed();

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

  private:
    TListSource source_;
};

}  // namespace qx
