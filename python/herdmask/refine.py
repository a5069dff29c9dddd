"""Refine subsystem."""

__all__: list = []
