"""Estimation of state-space models, with native filter loops."""
