#pragma once
// A recorded transfer as the history benchmarks fill their databases with:
// one of a shop's scales, a large product table. The targets are never contacted.
#include "scales/History.h"

#include <cstdint>
#include <string>

namespace bench {

inline scales::TransferStart SampleStart(int scale, std::int64_t started) {
    scales::TransferStart s;
    s.started = started;
    s.target = "tcp:10.0.0." + std::to_string(scale % 250) + ":" + std::to_string(4001 + scale / 250);
    s.name = "Scale " + std::to_string(scale);
    s.path = "/srv/shop/tables/products.csv";
    s.size = 1'234'567;
    s.sha256 = std::string(64, 'f');
    s.rows = 10'000;
    s.program = "scaledb-send";
    return s;
}

} // namespace bench
