#pragma once
// The records of a table as they go to the scale. Each is built (and converted) when it is
// sent, so a wide row does not make every record wide in memory at once.
#include <memory>
#include <string>
#include <vector>

#include "transfer/TransferEngine.h"

#include "scales/Targets.h"

namespace fleet {

class Recoder;
using scales::Target;

class Records : public TTransferRows {
public:
    // `recoder` may be null: the bytes go out as the file has them.
    Records(std::shared_ptr<const TableData> table, std::unique_ptr<Recoder> recoder);
    ~Records() override;
    Records(const Records&) = delete;
    Records& operator=(const Records&) = delete;

    int Count() const;
    int RowCount() const override { return Count(); }
    std::string RecordText(int row) const override { return Text(row); }
    // Row r's record text, as the window builds it (cells joined by ";" across the
    // table's columns), converted when there is a recoder.
    std::string Text(int r) const;

    // The most a UDP datagram over IPv4 carries.
    static constexpr std::size_t kMaxDatagram = 65507;

    // Goes over every row before anything is sent, keeping no record. Throws Refused
    // naming the row and column of a character the target code page cannot hold, or of a
    // byte that would end the command early on one of `targets`' links: NUL over UDP, LF
    // or CR over serial and TCP; and, with a UDP target, a row whose command would not fit
    // in one datagram.
    void Check(const std::string& tableName, const std::vector<Target>& targets) const;

private:
    std::shared_ptr<const TableData> table_;
    std::unique_ptr<Recoder> recoder_;
};

} // namespace fleet
