#include "kernels/daily_return.h"

#include <cmath>
#include <vector>

#include "kernels/nan_to_num.h"

namespace orvanta::kernels {

namespace {

// The five profit terms of a day, kept apart and added in this order at the end.
struct DayTerms {
    double bought = 0.0;
    double held = 0.0;
    double held_dividend = 0.0;
    double sold = 0.0;
    double sold_dividend = 0.0;
};

// How many active stocks ahead the row-major walk fetches prices: enough to cover a memory
// round trip at a few nanoseconds of work per stock.
constexpr size_t kPrefetchAhead = 16;

struct Rates {
    double buy_cost;   // 1 + fee
    double sell_keep;  // (1 - fee) - rule_fee
};

// One stock on one day: trade towards the target, book the profit, move the position on.
inline void trade(const DailyReturnInputs& in, const Rates& rates, std::int64_t i,
                  std::int64_t j, double& position, DayTerms& terms) {
    const double weight = in.signal(in.signal_rows[i], j);
    double target = 0.0;
    if (std::isfinite(weight)) {
        const double prev = in.prev_close(i, j);
        if (std::isfinite(prev) && prev > 0) {
            const double lots = in.total_money * weight / (prev * in.lot_size);
            const double shares = std::floor(lots) * in.lot_size;
            // An absurd weight or a denormal previous close overflows; an infinite target
            // would turn every later day of the stock into NaN, so it targets nothing.
            if (std::isfinite(shares)) target = shares;
        }
    }
    // Nothing held and nothing wanted: every term of this stock is zero.
    if (target == 0.0 && position == 0.0) return;

    const double diff = target - position;
    const double bought = (diff > 0 && in.can_buy(i, j)) ? diff : 0.0;
    const double sold = (diff < 0 && !in.cant_sell(i, j)) ? -diff : 0.0;
    const double held = position - sold;
    position = held + bought;

    // A term whose share count is zero adds exactly zero (every coefficient is finite), so
    // its prices are not read: a held stock that does not trade costs no price lookups.
    if (bought != 0.0) {
        const double buy_coeff = nan_to_num(in.close(i, j) - in.buy_price(i, j) * rates.buy_cost);
        terms.bought += bought * buy_coeff;
    }
    if (held == 0.0 && sold == 0.0) return;
    const double prev = in.prev_close(i, j);
    const double split_raw = in.split(i, j);
    const double split = std::isnan(split_raw) ? 1.0 : split_raw;
    const double dividend = nan_to_num(in.dividend(i, j));
    if (held != 0.0) {
        const double hold_coeff = nan_to_num(split * in.close(i, j) - prev);
        terms.held += held * hold_coeff;
        terms.held_dividend += held * dividend;
    }
    if (sold != 0.0) {
        const double sell_coeff =
            nan_to_num(split * in.sell_price(i, j) * rates.sell_keep - prev);
        terms.sold += sold * sell_coeff;
        terms.sold_dividend += sold * dividend;
    }
}

}  // namespace

void vwap_daily_cash(const DailyReturnInputs& in, double* daily_cash) {
    const Rates rates{1.0 + in.fee, (1.0 - in.fee) - in.rule_fee};
    std::vector<DayTerms> terms(static_cast<size_t>(in.n_days));
    // Most cells hold no weight and no shares; testing that first keeps the walk to one
    // read of the weights for them.
    const MatrixView<double> signal = in.signal;
    if (signal.column_major()) {
        for (std::int64_t j = 0; j < in.n_stocks; ++j) {
            double position = 0.0;
            for (std::int64_t i = 0; i < in.n_days; ++i) {
                if (position == 0.0 && !std::isfinite(signal(in.signal_rows[i], j))) continue;
                trade(in, rates, i, j, position, terms[static_cast<size_t>(i)]);
            }
        }
    } else {
        std::vector<double> positions(static_cast<size_t>(in.n_stocks), 0.0);
        std::vector<std::int64_t> active;
        active.reserve(static_cast<size_t>(in.n_stocks));
        double* position = positions.data();
        for (std::int64_t i = 0; i < in.n_days; ++i) {
            // First the stocks that want or hold shares, from one streaming read of the
            // weights; then their scattered prices, fetched a few stocks ahead so that the
            // cache misses overlap instead of queueing one after another.
            const char* weights = signal.data + in.signal_rows[i] * signal.row_stride;
            active.clear();
            for (std::int64_t j = 0; j < in.n_stocks; ++j) {
                const double weight =
                    *reinterpret_cast<const double*>(weights + j * signal.col_stride);
                if (position[j] != 0.0 || std::isfinite(weight)) active.push_back(j);
            }
            DayTerms day;
            const size_t n_active = active.size();
            for (size_t k = 0; k < n_active; ++k) {
                if (k + kPrefetchAhead < n_active) {
                    const std::int64_t ahead = active[k + kPrefetchAhead];
                    __builtin_prefetch(&in.prev_close(i, ahead));
                    __builtin_prefetch(&in.close(i, ahead));
                    __builtin_prefetch(&in.split(i, ahead));
                    __builtin_prefetch(&in.dividend(i, ahead));
                }
                const std::int64_t j = active[k];
                trade(in, rates, i, j, position[j], day);
            }
            terms[static_cast<size_t>(i)] = day;
        }
    }
    for (std::int64_t i = 0; i < in.n_days; ++i) {
        const DayTerms& t = terms[static_cast<size_t>(i)];
        daily_cash[i] = t.bought + t.held + t.held_dividend + t.sold + t.sold_dividend;
    }
}

void rows_with_weight(const MatrixView<double>& signal, std::uint8_t* has_weight) {
    for (std::int64_t i = 0; i < signal.rows; ++i) has_weight[i] = 0;
    if (signal.column_major()) {
        // Column by column, stopping once every row has shown a weight.
        std::int64_t unseen = signal.rows;
        for (std::int64_t j = 0; j < signal.cols && unseen > 0; ++j) {
            for (std::int64_t i = 0; i < signal.rows; ++i) {
                if (has_weight[i] || std::isnan(signal(i, j))) continue;
                has_weight[i] = 1;
                --unseen;
            }
        }
        return;
    }
    for (std::int64_t i = 0; i < signal.rows; ++i) {
        for (std::int64_t j = 0; j < signal.cols; ++j) {
            if (!std::isnan(signal(i, j))) {
                has_weight[i] = 1;
                break;
            }
        }
    }
}

void columns_with_weight(const MatrixView<double>& signal, std::uint8_t* has_weight) {
    // The same scan on the transposed view: rows and columns swap, strides with them.
    MatrixView<double> transposed = signal;
    transposed.rows = signal.cols;
    transposed.cols = signal.rows;
    transposed.row_stride = signal.col_stride;
    transposed.col_stride = signal.row_stride;
    rows_with_weight(transposed, has_weight);
}

}  // namespace orvanta::kernels
