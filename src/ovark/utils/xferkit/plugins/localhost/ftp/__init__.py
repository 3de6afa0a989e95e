"""FTP plugin of the localhost file transfer kit."""
