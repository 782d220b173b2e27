// The packaged application's entry point. The stand-in that plays electron.exe
// never runs it: the archive only has to exist and be sealed.
