// The front end's library half; its parsers and loops are added beside this file.
