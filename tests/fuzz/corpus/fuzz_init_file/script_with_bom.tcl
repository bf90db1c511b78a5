puts Привет
