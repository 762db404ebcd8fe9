#include "ui/list_mirror_model.h"

#include <utility>

#include "support/string_list.h"

namespace qx {

TListSource ListSourceOf(TStringList& list) {
    return {[&list] { return list.Count(); }, [&list](int i) { return list[i]; },
            [&list] { list.Clear(); }};
}

TListMirrorModel::TListMirrorModel(QObject* parent) : QAbstractListModel(parent) {}

void TListMirrorModel::Bind(TListSource source) {
    beginResetModel();
    source_ = std::move(source);
    endResetModel();
}

// A reset rather than row-level signals: the lists change by insert, delete and clear from
// several owners, and a reset is cheap because the view only fetches the rows it shows.
void TListMirrorModel::Changed() {
    beginResetModel();
    endResetModel();
}

int TListMirrorModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid() || !source_.Count) return 0;
    return std::max(source_.Count(), 0);
}

QVariant TListMirrorModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid() || !source_.Line) return {};
    // The source may have shrunk since the view asked for the count.
    if (index.row() >= rowCount()) return {};
    return QString::fromStdString(source_.Line(index.row()));
}

}  // namespace qx
