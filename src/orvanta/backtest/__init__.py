"""Backtest data preparation, benchmark package download and the strategy backtest core."""
