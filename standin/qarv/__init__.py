"""A stand-in for the vendor's model-conversion toolkit, for demos and trials on machines without it."""
