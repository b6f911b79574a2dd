"""The kestrune product package."""
