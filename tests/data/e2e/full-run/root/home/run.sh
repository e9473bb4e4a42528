echo v1
