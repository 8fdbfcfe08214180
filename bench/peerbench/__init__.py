"""netrove measured side by side with the Python prefix-matching libraries."""
