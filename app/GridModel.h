#pragma once
// The grid: a table model over TableData and a view that shows it as cells.
#include <QAbstractTableModel>
#include <QStringDecoder>
#include <QTableView>

#include "transfer/DatabaseFile.h"
#include "transfer/TransferEngine.h"

class TStringGridModel : public QAbstractTableModel {
public:
    explicit TStringGridModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;

    const TableData& Table() const { return FTable; }
    // The code page that cells which are not UTF-8 are shown in; at first the
    // one of the interface language. Only the display changes, never the bytes.
    void SetLegacyCodePage(const char* name);
    // Replaces the whole table at once.
    void SetTable(TableData table);

private:
    TableData FTable;
    mutable QStringDecoder FLegacy;
};

// StringGrid1: display only, no header rows or columns, fixed cell sizes. The
// window's transfer reads its rows at every tick.
class TStringGrid : public QTableView, public TTransferRows {
public:
    explicit TStringGrid(QWidget* parent = nullptr);

    int RowCount() const override { return FModel->Table().RowCount(); }
    int ColCount() const { return FModel->Table().ColCount(); }
    std::string Cells(int c, int r) const { return std::string(FModel->Table().Cell(c, r)); }
    std::string RecordText(int r) const override { return FModel->Table().RecordText(r, ColCount()); }

    TStringGridModel* Model() const { return FModel; }

private:
    TStringGridModel* FModel;
};
