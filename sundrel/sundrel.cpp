// Sound conversion library: its export is added with the converter.
