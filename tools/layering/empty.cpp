// The link check of a layer (see the top CMakeLists.txt) has no sources of its own.
