"""Measures subsystem."""

__all__: list = []
