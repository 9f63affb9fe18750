// The shared library is linked from the subsystem components; this unit only
// gives the target a source of its own.
