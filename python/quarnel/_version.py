# The one place the version is written: the build reads it into the package metadata.
__version__ = "0.1.0"
