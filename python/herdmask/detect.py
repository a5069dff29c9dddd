"""Detect subsystem."""

__all__: list = []
