// Settings dialogs library: its exports are added with the dialogs.
