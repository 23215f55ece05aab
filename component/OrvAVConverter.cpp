// The converter component.
