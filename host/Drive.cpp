// drive
