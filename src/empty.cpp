// Placeholder object for subsystems not built yet.
