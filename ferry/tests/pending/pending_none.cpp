// TEMPORARY: keeps the stand-in library non-empty once every stage has landed.
