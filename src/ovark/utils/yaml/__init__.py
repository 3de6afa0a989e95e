"""YAML helpers: the markup processor, the ordered dumper and their errors."""
