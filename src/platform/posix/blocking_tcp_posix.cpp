// filled by its owner
