"""The function store: graph shapes, filtrations and (later) the built-in library."""
