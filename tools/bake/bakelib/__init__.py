"""Offline bake of the synthetic demo avatar: drawing, crops, drive track,
director networks and the bundle members that carry them."""
