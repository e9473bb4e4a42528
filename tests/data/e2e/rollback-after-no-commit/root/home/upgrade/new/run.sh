echo v2
