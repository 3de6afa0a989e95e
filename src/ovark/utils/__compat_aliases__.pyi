"""Legacy imports for the whole process: registers the published translations
and installs the legacy importer."""

LEGACY_IMPORT_ENTRYPOINT: str

def _initialize() -> None: ...
