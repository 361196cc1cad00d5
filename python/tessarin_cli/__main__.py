from tessarin_cli import console

console()
