"""The package's version, where every module may read it."""

__version__ = "0.1.0"
