proc f {} {
  return "ЁжИк ┌─┐"
}
