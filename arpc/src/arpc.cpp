// The library's sources are one file per concern beside this one.
