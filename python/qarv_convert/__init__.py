"""Command line and helpers around the `qarv_convert_inner` extension module."""
