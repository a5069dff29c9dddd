"""Pen subsystem."""

__all__: list = []
