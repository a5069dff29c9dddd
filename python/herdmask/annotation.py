"""Annotation subsystem."""

__all__: list = []
