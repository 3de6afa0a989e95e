"""ovark.utils: the utilities layer of the ovark framework."""
