from vez_api.doroze_cli import main

main()
