// The daily profit loop of a target-weight backtest at VWAP execution prices: whole lots,
// blocked purchases and sales, split and dividend credit, commission and stamp duty.
#pragma once

#include <cstdint>

#include "kernels/matrix_view.h"

namespace orvanta::kernels {

struct DailyReturnInputs {
    // Weights; day i trades the row signal_rows[i] (the previous date's row).
    MatrixView<double> signal;
    const std::int64_t* signal_rows = nullptr;
    // Market rows, one per profit day; all n_days x n_stocks.
    MatrixView<Flag> can_buy;
    MatrixView<Flag> cant_sell;
    MatrixView<double> split;
    MatrixView<double> dividend;
    MatrixView<double> close;
    MatrixView<double> prev_close;
    MatrixView<double> buy_price;
    MatrixView<double> sell_price;
    std::int64_t n_days = 0;
    std::int64_t n_stocks = 0;
    double total_money = 0.0;
    double fee = 0.0;
    double rule_fee = 0.0;
    double lot_size = 0.0;
};

// Writes the profit of each day, in currency, to daily_cash[0..n_days).
//
// Each stock's position evolves on its own, so the walk goes day by day for row-major
// weights and stock by stock for column-major ones; both add a day's stocks in column order
// and give identical results. Needs O(n_days + n_stocks) extra memory.
void vwap_daily_cash(const DailyReturnInputs& in, double* daily_cash);

// has_weight[i] = 1 when row i of `signal` holds at least one non-NaN value.
void rows_with_weight(const MatrixView<double>& signal, std::uint8_t* has_weight);

// has_weight[j] = 1 when column j of `signal` holds at least one non-NaN value.
void columns_with_weight(const MatrixView<double>& signal, std::uint8_t* has_weight);

}  // namespace orvanta::kernels
