from tarnwick.cli import main

main()
