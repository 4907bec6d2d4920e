"""A stand-in for the vendor's model-conversion toolkit, for demos and trials on machines without it."""

__version__ = "0.0.0+stand-in"
